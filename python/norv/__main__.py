"""``python -m norv``: the same command line as the ``norv`` script."""

from norv.cli import main

raise SystemExit(main())
