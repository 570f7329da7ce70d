"""VEXCAM cameras for INDI: the driver that indiserver runs as `indi_vexcam_ccd`.

    indiserver indi_vexcam_ccd

Every camera found becomes a device named "Vexcam <camera id>" with INDI's standard camera
properties; images travel as FITS files (`vexcam_device.fits`) in the CCD1 BLOB or into a
local directory. `Driver` is the message loop itself, for running it on other streams. Needs the
`indi` extra: `pip install "vexcam[indi]"`.
"""

from ._camera import CameraDevice
from ._driver import Driver, device_name
from ._main import main

__all__ = ["CameraDevice", "Driver", "device_name", "main"]
