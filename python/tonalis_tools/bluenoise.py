"""`tonalis_tools.matrices.bluenoise` under its former name: the same module."""

import sys

from .matrices import bluenoise as _module
from .matrices.bluenoise import *  # noqa: F403

sys.modules[__name__] = _module
