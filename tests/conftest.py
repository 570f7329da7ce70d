# Shared fixtures: a freshly reset simulated SDK for every test, opened cameras, call recording.
import contextlib
import ctypes
import faulthandler
import gc
import os
import subprocess
import sys
import textwrap
from typing import NamedTuple

import pytest

import vexcam
import vexcam_sim

M8 = "VXSIM-M8-001"
M16 = "VXSIM-M16-002"
# Real exposures wait at most this long, so tests that expose stay fast.
EXPOSURE_CAP_US = 5_000
# For tests that cap the address space: ASan's shadow memory needs terabytes of it.
needs_address_space_limit = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves address space"
)

# Child-interpreter code: cap_memory() leaves the process 1 GiB more than it has, so that a
# larger allocation fails for certain. An address-space limit on Linux; on Windows a job's
# limit on committed memory, and exit code UNCAPPED where that is not enforced (under Wine).
UNCAPPED = 77
CAP_MEMORY = f"""
import sys
def cap_memory():
    if sys.platform != "win32":
        import mmap, resource
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * mmap.PAGESIZE
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (1 << 30), resource.RLIM_INFINITY))
        return
    import ctypes
    size_t, dword = ctypes.c_size_t, ctypes.c_uint32
    class Limits(ctypes.Structure):  # JOBOBJECT_EXTENDED_LIMIT_INFORMATION
        _fields_ = [("times", ctypes.c_int64 * 2), ("flags", dword), ("working_set", size_t * 2),
                    ("processes", dword), ("affinity", size_t), ("priority", dword),
                    ("scheduling", dword), ("io", ctypes.c_uint64 * 6), ("process_memory", size_t),
                    ("job_memory", size_t), ("peaks", size_t * 2)]
    kernel32 = ctypes.WinDLL("kernel32")
    for name in ("CreateJobObjectW", "GetCurrentProcess", "VirtualAlloc"):
        getattr(kernel32, name).restype = ctypes.c_void_p
    kernel32.VirtualAlloc.argtypes = [ctypes.c_void_p, size_t, dword, dword]
    kernel32.VirtualFree.argtypes = [ctypes.c_void_p, size_t, dword]
    job = ctypes.c_void_p(kernel32.CreateJobObjectW(None, None))
    limits = Limits(flags=0x100, process_memory=2 << 30)  # JOB_OBJECT_LIMIT_PROCESS_MEMORY
    assert kernel32.SetInformationJobObject(job, 9, ctypes.byref(limits), ctypes.sizeof(limits))
    assert kernel32.AssignProcessToJobObject(job, ctypes.c_void_p(kernel32.GetCurrentProcess()))
    probe = kernel32.VirtualAlloc(None, 3 << 30, 0x3000, 4)  # MEM_COMMIT | MEM_RESERVE
    if probe:
        kernel32.VirtualFree(probe, 0, 0x8000)  # MEM_RELEASE
        sys.exit({UNCAPPED})
"""


def loaded_sdk_path():
    """The file of the camera SDK this process loaded, as the system's loader has it."""
    if sys.platform == "win32":
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.GetModuleHandleW.restype = ctypes.c_void_p
        module = kernel32.GetModuleHandleW("vexcam.dll")
        assert module, "vexcam.dll is not loaded"
        path = ctypes.create_unicode_buffer(32768)
        assert kernel32.GetModuleFileNameW(ctypes.c_void_p(module), path, len(path))
        return path.value
    with open("/proc/self/maps") as maps:
        (path,) = {line.split()[-1] for line in maps if "/libvexcam.so" in line}
    return path


def skip_if_uncapped(done):
    if done.returncode == UNCAPPED:
        pytest.skip("this Windows does not enforce a job's memory limit (Wine does not)")


# --- The public callables: one row each, feeding every test file's per-callable table. ---

INIT, RELEASE = "InitVEXCAMResource", "ReleaseVEXCAMResource"
MEM, EXPOSE = "GetVEXCAMMemLength", "ExpVEXCAMSingleFrame"
SINGLE, LIVE = "GetVEXCAMSingleFrame", "GetVEXCAMLiveFrame"
FRAME = "frame"  # `returns` of the calls that give a numpy array
CAMERA = "camera"  # `returns` of the constructor


class Callable(NamedTuple):
    """What the tests know of one public callable from the outside."""

    name: str
    # "function" (module level), "constructor", "method" (with the GIL throughout), or
    # "waiting" (a method that lets other threads run while the SDK works)
    kind: str = "method"
    params: tuple = ()  # (name, native kind): "u32", "u8", "f64" or "text", in order
    sdk: tuple = ()  # SDK functions a well-formed call makes on a ready camera, in order
    args: tuple = ()  # a well-formed call, which succeeds on a ready camera
    returns: object = type(None)  # the type of the value, or FRAME, or CAMERA
    ready: str = ""  # what the camera needs before the call succeeds: "exposed" or "live"
    closed: str = "raises"  # on a closed camera: "raises" RuntimeError, or "answers" anyway

    @property
    def param_names(self):
        return tuple(name for name, _ in self.params)

    def signature(self):
        return "(" + ", ".join(("$self",) * (self.kind != "function") + self.param_names) + ")"


CALLABLES = (
    Callable("init_sdk", "function", sdk=(INIT, RELEASE)),
    Callable("scan_cameras", "function", sdk=(INIT, "ScanVEXCAM", "GetVEXCAMId", RELEASE), returns=list),
    Callable("Camera", "constructor", (("id", "text"),), ("OpenVEXCAM",), (M16,), CAMERA),
    # The methods, in the order of the type's method table.
    Callable("open", closed="answers"),
    Callable("get_firmware_version", sdk=("GetVEXCAMFWVersion",), returns=str),
    Callable("init", sdk=("InitVEXCAM",)),
    Callable("set_stream_mode", params=(("mode", "u8"),), sdk=("SetVEXCAMStreamMode",), args=(1,)),
    Callable("set_exposure", params=(("us", "u32"),), sdk=("SetVEXCAMParam",), args=(500,)),
    Callable("set_gain", params=(("gain", "f64"),), sdk=("SetVEXCAMParam",), args=(2.5,)),
    Callable("set_offset", params=(("offset", "f64"),), sdk=("SetVEXCAMParam",), args=(3.0,)),
    Callable(
        "set_resolution", params=(("x", "u32"), ("y", "u32"), ("width", "u32"), ("height", "u32")),
        sdk=("SetVEXCAMResolution",), args=(0, 0, 16, 8),
    ),
    Callable("set_bin_mode", params=(("bin_x", "u32"), ("bin_y", "u32")), sdk=("SetVEXCAMBinMode",), args=(1, 1)),
    Callable("exp_single_frame", "waiting", sdk=(EXPOSE,)),
    Callable("get_single_frame", "waiting", sdk=(MEM, SINGLE), returns=FRAME, ready="exposed"),
    Callable("capture_single_frame", "waiting", sdk=(EXPOSE, MEM, SINGLE), returns=FRAME),
    Callable("begin_live", sdk=("BeginVEXCAMLive",)),
    Callable("get_live_frame", "waiting", sdk=(MEM, LIVE), returns=FRAME, ready="live"),
    Callable("stop_live", sdk=("StopVEXCAMLive",), ready="live"),
    Callable(
        "is_control_available", params=(("control_id", "u32"),), sdk=("IsVEXCAMControlAvailable",),
        args=(6,), returns=bool, closed="answers",
    ),
    Callable(
        "set_param", params=(("control_id", "u32"), ("value", "f64")), sdk=("SetVEXCAMParam",),
        args=(6, 1.5),
    ),
    Callable(
        "get_param", params=(("control_id", "u32"),), sdk=("GetVEXCAMParam",), args=(6,),
        returns=float, closed="answers",
    ),
    Callable("close", sdk=("CloseVEXCAM",), closed="answers"),
)  # fmt: skip
METHODS = tuple(c for c in CALLABLES if c.kind in ("method", "waiting"))
MODULE_LEVEL = tuple(c for c in CALLABLES if c.kind in ("function", "constructor"))


def make_ready(camera, callable_):
    """Brings an open camera to the state in which `callable_`'s well-formed call succeeds."""
    if callable_.ready == "exposed":
        camera.exp_single_frame()
    elif callable_.ready == "live":
        camera.begin_live()


def call(callable_, camera, args=None):
    """Calls `callable_` by position: a method on `camera`, anything else from the module."""
    args = callable_.args if args is None else args
    if callable_.kind in ("method", "waiting"):
        return getattr(camera, callable_.name)(*args)
    return getattr(vexcam, callable_.name)(*args)


@pytest.fixture(scope="session")
def real_stderr(pytestconfig):
    # pytest's captured stderr is lost when the watchdog ends the process: write past it.
    capture = pytestconfig.pluginmanager.getplugin("capturemanager")
    with capture.global_and_fixture_disabled():
        fd = os.dup(2)
    with open(fd, "w") as stream:
        yield stream


@pytest.fixture
def watchdog(real_stderr):
    """`watchdog(seconds)` arms, or re-arms, a timer for the running test.

    A test still running when it fires (a lock held across a blocked SDK call, a lost wake-up)
    gets every thread's stack printed and the run ended, instead of hanging. Disarmed after
    the test.
    """
    def arm(seconds):
        faulthandler.dump_traceback_later(seconds, exit=True, file=real_stderr)

    yield arm
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(autouse=True, scope="module")
def settled_heap():
    # What survives a full collection here is the run's long-lived state: modules, the property
    # tests' caches. Frozen, it is not scanned again by the collections each test makes.
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.fixture(autouse=True)
def sim(settled_heap):
    # Cameras left over from an earlier test must close now, not inside this test's call log.
    gc.collect()
    vexcam_sim.reset()
    vexcam_sim.set_exposure_cap_us(EXPOSURE_CAP_US)
    # Exact pixel values: tests of the noise turn it back on.
    vexcam_sim.set_noise(False)
    yield vexcam_sim
    gc.collect()
    bad = vexcam_sim.bad_handle_calls()
    vexcam_sim.reset()
    assert bad == 0, "an SDK function was called with a null or closed handle"


@pytest.fixture
def opened(sim):
    cam = vexcam.Camera(M8)
    handle = sim.last_handle()
    yield cam, handle
    cam.close()


@pytest.fixture
def camera(opened):
    return opened[0]


@pytest.fixture
def handle(opened):
    """The SDK handle behind `camera`, as the control plane reports handles."""
    return opened[1]


@pytest.fixture
def camera16(sim):
    cam = vexcam.Camera(M16)
    yield cam
    cam.close()


@pytest.fixture
def closed_camera(sim):
    cam = vexcam.Camera(M8)
    cam.close()
    return cam


def ramp_frame(camera_id, binning, region):
    """The module's own frame of the ramp test pattern for `region` (sensor pixels) at `binning`,
    from a handle of its own beside any the test holds."""
    vexcam_sim.allow_shared_open()
    cam = vexcam.Camera(camera_id)
    try:
        cam.set_bin_mode(binning, binning)
        cam.set_resolution(*region)
        cam.set_param(vexcam_sim.Control.TEST_PATTERN, 1)
        return cam.capture_single_frame()
    finally:
        cam.close()


@pytest.fixture
def sdk_calls(sim):
    """`with sdk_calls() as made:` leaves in `made` the SDK functions called inside the block."""

    @contextlib.contextmanager
    def record():
        start = len(sim.call_log())
        made = []
        try:
            yield made
        finally:
            made.extend(sim.call_log()[start:])

    return record


def c_api_error(function, restype, obj):
    """The exception the interpreter's own C function raises for `obj`, as (class, text).

    Conversion failures must reach the caller exactly as the interpreter words them.
    """
    fn = getattr(ctypes.pythonapi, function)
    fn.restype = restype
    fn.argtypes = [ctypes.py_object]
    try:
        fn(obj)
    except BaseException as exc:  # noqa: BLE001 - whatever the interpreter raised is the answer
        return type(exc), str(exc)
    raise AssertionError(f"{function}({obj!r}) did not fail")


def run_python(code, timeout=120, env=None):
    """Runs `code` in a fresh interpreter; paths that may abort must not take pytest down."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=None if env is None else {**os.environ, **env},
    )
    return done


def pytest_collection_modifyitems(items):
    # The documentation's examples run last: the frameworks they import (tensorstore, under
    # pymmcore-plus's OME-Zarr writer) keep native thread pools for the rest of the process,
    # which would move the resident-set measurements of the leak tests.
    items.sort(key=lambda item: item.path.name == "test_docs_examples.py")
