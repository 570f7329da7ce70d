"""What the adapter keeps about the camera's controls, since the SDK reports none of it."""

from __future__ import annotations

from typing import NamedTuple


class Control(NamedTuple):
    """One SDK control as a device property."""

    number: int
    name: str
    limits: tuple[float, float] | None = None
    choices: tuple[int, ...] | None = None  # whole-number controls with few values
    read_only: bool = False


# The controls whose meaning and range the SDK documents; the exposure time (8) is the core's
# own Exposure property, in milliseconds, and is not listed here.
CONTROLS = (
    Control(0, "CCDTemperature", read_only=True),
    Control(6, "Gain", limits=(0.0, 100.0)),
    Control(7, "Offset", limits=(0.0, 255.0)),
    Control(9, "LiveFrameRate", limits=(0.1, 1000.0)),
    Control(10, "Cooler", choices=(0, 1)),
    Control(11, "CCDTemperatureSetPoint", limits=(-40.0, 25.0)),
    Control(40, "TestPattern", choices=(0, 1, 2)),
    Control(58, "LiveFramesDelivered", read_only=True),
)
EXPOSURE = 8
# The numbers the module accepts as control ids; any of them that a camera reports available
# and that CONTROLS does not describe becomes a plain "Control N" property.
CONTROL_IDS = (*range(0, 38), *range(39, 42), *range(57, 60))

# Bits per sample of the simulator's own cameras (sim/README.md). Frames carry only 8 or 16-bit
# samples, so a 12-bit sensor cannot be told from a 16-bit one by its frames.
SIMULATED_BIT_DEPTHS = {
    "VXSIM-M8-001": 8,
    "VXSIM-M16-002": 16,
    "VXSIM-M12-003": 12,
    "VXSIM-L16-004": 16,
}
# Factors the simulated SDK accepts, the same both ways.
BINNINGS = (1, 2, 4)
