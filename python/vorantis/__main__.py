"""`python -m vorantis`: the `vorantis-video` command-line tool."""

from vorantis.cli import main

raise SystemExit(main())
