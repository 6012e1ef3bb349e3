"""`tonalis_tools.io.encoding` under its former name: the same module."""

import sys

from .io import encoding as _module
from .io.encoding import *  # noqa: F403

sys.modules[__name__] = _module
