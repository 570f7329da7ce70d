# Shared fixtures: a freshly reset simulated SDK for every test, opened cameras, call recording.
import contextlib
import ctypes
import faulthandler
import gc
import os
import subprocess
import sys
import textwrap

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
