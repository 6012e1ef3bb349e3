"""`tonalis_tools.io.animation` under its former name: the same module."""

import sys

from .io import animation as _module
from .io.animation import *  # noqa: F403

sys.modules[__name__] = _module
