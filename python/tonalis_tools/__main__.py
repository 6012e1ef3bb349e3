"""`python -m tonalis_tools` runs the `tonalis` command."""

import sys

from .cli import main

sys.exit(main())
