"""`tonalis_tools.palettes.colour_names` under its former name: the same module."""

import sys

from .palettes import colour_names as _module
from .palettes.colour_names import *  # noqa: F403

sys.modules[__name__] = _module
