"""`tonalis_tools.palettes.presets` under its former name: the same module."""

import sys

from .palettes import presets as _module
from .palettes.presets import *  # noqa: F403

sys.modules[__name__] = _module
