"""`tonalis_tools.devices.channels` under its former name: the same module."""

import sys

from .devices import channels as _module
from .devices.channels import *  # noqa: F403

sys.modules[__name__] = _module
