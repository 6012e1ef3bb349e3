"""`tonalis_tools.io.imagefile` under its former name: the same module."""

import sys

from .io import imagefile as _module
from .io.imagefile import *  # noqa: F403

sys.modules[__name__] = _module
