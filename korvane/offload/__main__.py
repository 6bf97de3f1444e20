import sys

from korvane.offload.demo import main

sys.exit(main())
