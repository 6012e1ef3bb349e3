"""`tonalis_tools.batch.planner` under its former name: the same module."""

import sys

from .batch import planner as _module
from .batch.planner import *  # noqa: F403

sys.modules[__name__] = _module
