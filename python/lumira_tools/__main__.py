"""`python -m lumira_tools` runs the `lumira` command."""

import sys

from .cli import main

sys.exit(main())
