"""`tonalis_tools.batch.dask_batch` under its former name: the same module."""

import sys

from .batch import dask_batch as _module
from .batch.dask_batch import *  # noqa: F403

sys.modules[__name__] = _module
