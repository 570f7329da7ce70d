"""python -m vexcam_indi: the same as indi_vexcam_ccd."""

import sys

from ._main import main

sys.exit(main())
