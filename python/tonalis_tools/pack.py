"""`tonalis_tools.devices.pack` under its former name: the same module."""

import sys

from .devices import pack as _module
from .devices.pack import *  # noqa: F403

sys.modules[__name__] = _module
