from quorpy.bench.cli import main

raise SystemExit(main())
