"""One camera layer under every adapter: what the SDK cannot tell about a VEXCAM camera.

    import vexcam_device

    with vexcam_device.Device("VXSIM-M16-002") as device:   # opened, sensor probed
        device.set_binning(2)
        device.set_binned_region(100, 100, 512, 512)
        device.set("exposure", 20_000)                      # µs, range-checked
        record = device.expose()                            # frame + the settings it was taken with

The SDK reports neither the sensor's size, its bit depth, the readout region, the binning nor
what its control numbers mean. `Device` learns the sensor when it opens, keeps region and
binning as set, and reaches controls by role through a `Config`: the simulated SDK's numbers
and ranges by default (`simulator.toml` in this package), or a file of the vendor's
(`Config.load(path)`).
"""

from ._config import CONTROL_IDS, ROLES, CameraInfo, Config, ConfigError, Control
from ._device import Device, ExposureRecord, Region, binned

__all__ = [
    "CONTROL_IDS",
    "ROLES",
    "CameraInfo",
    "Config",
    "ConfigError",
    "Control",
    "Device",
    "ExposureRecord",
    "Region",
    "binned",
]
