"""`tonalis_tools.matrices.halftone` under its former name: the same module."""

import sys

from .matrices import halftone as _module
from .matrices.halftone import *  # noqa: F403

sys.modules[__name__] = _module
