"""`tonalis_tools.palettes.palette_files` under its former name: the same module."""

import sys

from .palettes import palette_files as _module
from .palettes.palette_files import *  # noqa: F403

sys.modules[__name__] = _module
