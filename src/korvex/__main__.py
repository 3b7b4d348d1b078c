"""`python -m korvex`: the same as the `korvex` command."""

import sys

from korvex.cli import main

sys.exit(main())
