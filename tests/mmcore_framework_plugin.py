# pytest plugin for pymmcore-plus's own Python-camera tests (tests/00_unicore/test_camera.py of
# its source distribution): their camera classes become a simulated VEXCAM camera of the same
# sensor, showing the ramp test pattern, so that the framework's checks run on the adapter.
import numpy as np

CAMERA_ID = "VXSIM-FW16-512"
SENSOR = (512, 512)  # the shape and dtype their cameras have
# Tests that are not about a camera adapter: the C++ rows and the demo configuration need
# compiled device adapters; the rest check what their own classes do differently on purpose.
NOT_ABOUT_THE_ADAPTER = {
    "c++": "needs Micro-Manager's compiled demo devices",
    "test_basic_properties": "loads Micro-Manager's demo configuration",
    "test_sequence_acquisition[python]": "checks metadata that its own camera class adds",
    "test_base_camera_set_roi_raises": "checks a camera that has no readout region",
    "test_sequenceable_exposures": "tests its own sequenceable camera class",
}


def pytest_configure(config):
    import vexcam_sim

    vexcam_sim.reset()
    vexcam_sim.add_camera(CAMERA_ID, *SENSOR, 16)
    vexcam_sim.set_fast_frames(True)


def adapter_camera():
    from vexcam_mmcore import VexcamCamera

    class FrameworkTestCamera(VexcamCamera):
        def __init__(self):
            super().__init__(CAMERA_ID)

        def initialize(self):
            super().initialize()
            self.set_property_value("TestPattern", 1)

    return FrameworkTestCamera


def pytest_collection_modifyitems(config, items):
    camera = adapter_camera()
    keep, dropped = [], []
    for item in items:
        module = item.module
        if module.__name__.endswith("test_camera"):
            module.MyCamera = module.MySimpleCamera = camera
            module._load_device.__defaults__ = (camera,)  # bound when the module was imported
            module.FRAME = np.add(*np.indices(SENSOR)).astype(np.uint16)  # test pattern 1's ramp
        if any(key in item.nodeid for key in NOT_ABOUT_THE_ADAPTER):
            dropped.append(item)
        else:
            keep.append(item)
    config.hook.pytest_deselected(items=dropped)
    items[:] = keep


def pytest_terminal_summary(terminalreporter):
    import vexcam_sim

    # What the outer test reads to know that the adapter, not the framework's class, ran.
    terminalreporter.write_line(f"vexcam cameras opened: {len(vexcam_sim.opened_handles())}")
    assert vexcam_sim.bad_handle_calls() == 0
