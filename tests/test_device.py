# The camera layer under the adapters (vexcam_device): its configuration file and what it keeps
# beside the module (region, binning, exposure records), checked against the simulator.
from importlib import resources

import numpy as np
import pytest

from conftest import M8, M16, ramp_frame
from vexcam_device import Config, ConfigError, Device

DEFAULT = resources.files("vexcam_device").joinpath("simulator.toml").read_text()


@pytest.mark.parametrize("text, message", [
    ("[controls.colour]\nnumber = 1", "[controls.colour]: unknown role"),
    ("[controls.gain]\nname = 'Gain'", "[controls.gain] number is missing"),
    ("[controls.gain]\nnumber = 38", "number 38 is not a control number the SDK defines"),
    ("[controls.gain]\nnumber = '6'", "number must be a whole number, not '6'"),
    ("[controls.gain]\nnumber = 6\nmin = 5\nmax = 1", "min 5 is above max 1"),
    ("[controls.gain]\nnumber = 6\nmaximum = 1", "unknown key 'maximum'"),
    ("[controls.gain]\nnumber = 6\n[controls.offset]\nnumber = 6", "two roles share one control number"),
    ("[sensor]\nbinnings = [0, 2]", "binnings must be whole numbers from 1 to 64"),
    ("[cameras.X]\nbit_depth = 17", "bit_depth 17 is outside 1 to 16"),
    ("[cameras.X]\npixel_size_um = 0", "pixel_size_um must be above 0"),
    ("[controls\nnumber = 1", "vendor.toml: "),  # not TOML at all
])
def test_a_file_that_cannot_be_used_is_refused_with_its_entry(text, message):
    with pytest.raises(ConfigError) as refused:
        Config.parse(text, "vendor.toml")
    assert message in str(refused.value) and str(refused.value).startswith("vendor.toml: ")


def test_the_default_is_the_simulators_own_file_and_agrees_with_it(sim):
    config = Config.load()
    assert config == Config.parse(DEFAULT, config.source)
    reported = {info.number: info for info in sim.controls()}
    assert {c.number for c in config.controls.values()} == set(reported)
    for c in config.controls.values():
        info = reported[c.number]
        assert (c.min, c.max, c.read_only, c.unit) == (info.min, info.max, info.read_only, info.unit), c.role
        assert c.integer or not info.integer, c.role  # stricter may be: the module sets whole µs
    bits = {c.id: c.bits for c in sim.DEFAULT_CAMERAS}
    assert {camera_id: c.bit_depth for camera_id, c in config.cameras.items()} == bits


@pytest.mark.parametrize("role, value", [("gain", 100.5), ("cooler", 0.5), ("sensor_temperature", 1.0),
                                         ("exposure", float("nan"))])
def test_a_refused_setting_never_reaches_the_sdk(sim, role, value):
    with Device(M8) as device:
        before = sim.calls("SetVEXCAMParam")
        with pytest.raises(ValueError):
            device.set(role, value)
        assert sim.calls("SetVEXCAMParam") == before


def test_a_binning_change_keeps_the_region_describing_the_frame(sim):
    with Device(M16) as device:
        device.set("test_pattern", 1)
        device.set_region(3, 5, 101, 99)
        device.set_binning(4)
        record = device.expose()
    # The module's own frame for the region the layer reports.
    expected = ramp_frame(M16, 4, [v * 4 for v in record.binned_region])
    np.testing.assert_array_equal(record.frame, expected)
    assert record.frame.shape == record.binned_region[:1:-1]
