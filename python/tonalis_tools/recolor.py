"""`tonalis_tools.palettes.recolor` under its former name: the same module."""

import sys

from .palettes import recolor as _module
from .palettes.recolor import *  # noqa: F403

sys.modules[__name__] = _module
