"""`python -m kestrel_grid_tools` runs the command-line tool."""

import sys

from .cli import main

sys.exit(main())
