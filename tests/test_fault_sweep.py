# Fault sweep: every public callable against an SDK that fails each of its calls in turn, then
# SDK answers that are legal but odd. Which SDK functions a callable uses comes from the
# registry in conftest, and a clean run checks it against the simulator's call log; what a
# failure of each function must lead to is the table ON_FAILURE below.
import gc
import json
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vexcam
import vexcam_sim
from conftest import CALLABLES as REGISTRY
from conftest import (
    CAP_MEMORY, INIT, MEM, RELEASE, call, needs_address_space_limit, run_python, skip_if_uncapped,
)

SCAN, GET_ID = "ScanVEXCAM", "GetVEXCAMId"
OPEN, CLOSE = "OpenVEXCAM", "CloseVEXCAM"
CLOSED = "Camera handle is null or closed"
OPERATION = "Operation failed with error code: {code}"
FRAME = "Failed to get frame data with return code: {code}"
SCAN_FAILED = 0xFFFFFFFF
SIM_BUFFER_TOO_SMALL = 9  # the simulator's answer to a frame that does not fit the buffer

CODES = [1, 7, 0x7FFFFFFF, 0xFFFFFFFF]

# A small camera keeps every case cheap; its 12-bit samples travel as 16-bit words.
SWEEP_ID = "SWEEP-CAM-12"
WIDTH, HEIGHT, BITS = 24, 16, 12
FIRMWARE = b"\x0a\x1b\xfc"
PICTURE_BYTES = WIDTH * HEIGHT * 2
TEST_PATTERN = 40  # the simulator's ramp: sample (x, y) is x + y
RAMP = np.add.outer(np.arange(HEIGHT), np.arange(WIDTH)).astype(np.uint16)

# Scans that ask for more indexes than this run in a child process (see scan_beyond_catalog).
IN_PROCESS_COUNT = 1 << 17


def fingerprint(value):
    """What a comparison of outcomes looks at: a frame by its exact samples, a camera by class."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, vexcam.Camera):
        return ("Camera",)
    return (type(value).__name__, value)


def returned(value):
    return ("returned", fingerprint(value))


def raised(kind, *args):
    return ("raised", kind, args)


class Stage:
    """One case's world: for methods, an open sweep camera on which every method can succeed."""

    def __init__(self, on_camera):
        self.cameras = []
        if on_camera:
            vexcam_sim.set_fast_frames(True)  # nothing waits; frames are the ramp every time
            cam = vexcam.Camera(SWEEP_ID)
            cam.set_param(TEST_PATTERN, 1.0)
            cam.exp_single_frame()
            cam.begin_live()
            self.cameras.append(cam)

    @property
    def camera(self):
        return self.cameras[0]

    def run(self, action):
        """Calls `action` once: its outcome, and the SDK functions it called in order."""
        start = len(vexcam_sim.call_log())
        try:
            value = action(self)
        except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
            outcome = raised(type(exc), *exc.args)
        else:
            if isinstance(value, vexcam.Camera):
                self.cameras.append(value)  # closed with the others
            outcome = returned(value)
        return outcome, tuple(vexcam_sim.call_log()[start:])

    def finish(self):
        for cam in self.cameras:
            cam.close()
        self.cameras.clear()


def well_formed(callable_, args):
    return lambda stage: call(callable_, stage.camera if stage.cameras else None, args)


# A well-formed call of every public callable. The settings leave the ramp picture unchanged.
ARGS = {"Camera": (SWEEP_ID,), "set_resolution": (0, 0, WIDTH, HEIGHT)}
CALLS = {c.name: well_formed(c, ARGS.get(c.name, c.args)) for c in REGISTRY}
METHOD_NAMES = {c.name for c in REGISTRY if c.kind in ("method", "waiting")}
# (needs the sweep camera, call, the SDK functions it makes)
CALLABLES = {
    **{c.name: (c.name in METHOD_NAMES, CALLS[c.name], c.sdk) for c in REGISTRY},
    "last reference": (True, lambda stage: stage.cameras.clear(), (CLOSE,)),
}


def add_sweep_camera():
    vexcam_sim.add_camera(SWEEP_ID, WIDTH, HEIGHT, BITS, FIRMWARE)


def clean_run(name):
    on_camera, call_, _ = CALLABLES[name]
    stage = Stage(on_camera)
    try:
        return stage.run(call_)
    finally:
        stage.finish()


def clean_runs():
    """Per callable, the outcome and SDK calls of one run against a well-behaved simulator."""
    return {name: clean_run(name) for name in CALLABLES}


@pytest.fixture(scope="module")
def sweep(settled_heap):
    # Module-scoped, so it runs before the first test's simulator reset, which then sets the
    # simulator up as that test expects.
    gc.collect()
    vexcam_sim.reset()
    try:
        add_sweep_camera()
        return clean_runs()
    finally:
        gc.collect()
        vexcam_sim.reset()


# What an SDK function's failure must lead to. Each entry gives the outcomes allowed for a
# failure code, each with the SDK calls that the callable must have made, no more and no less.


def up_to(calls, function):
    return calls[: calls.index(function) + 1]


class Raises:
    """RuntimeError at once; the one SDK call allowed afterwards gives back the SDK resource."""

    def __init__(self, message):
        self.message = message

    def expect(self, clean, function, code):
        calls = up_to(clean[1], function)
        if INIT in calls[:-1]:
            calls += (RELEASE,)
        return [(raised(RuntimeError, self.message.format(code=code, id=SWEEP_ID)), calls)]


class Ignored:
    """The result is not looked at: the callable ends as if the call had succeeded."""

    def expect(self, clean, function, code):
        return [clean]


class Answer:
    """The result is a value rather than a status, and the callable returns what it means."""

    def __init__(self, meaning):
        self.meaning = meaning

    def expect(self, clean, function, code):
        return [(returned(self.meaning(code)), clean[1])]


class SkippedId:
    """The id of that index (the first one here) is left out silently and the scan goes on."""

    def expect(self, clean, function, code):
        return [(returned(vexcam_sim.cameras()[1:]), clean[1])]


class CameraCount:
    """The result is how many indexes to read, 2**31 and above too; only 0xFFFFFFFF fails."""

    def expect(self, clean, function, code):
        calls = clean[1]
        if code == SCAN_FAILED:
            message = f"SDK scan cameras failed with code: {code}"
            return [(raised(RuntimeError, message), up_to(calls, function) + (RELEASE,))]
        head = up_to(calls, function)
        tail = calls[len(head) + calls.count(GET_ID) :]
        # Indexes past the catalogue are refused by the SDK and skipped.
        return [(returned(vexcam_sim.cameras()[:code]), head + (GET_ID,) * code + tail)]


class BufferLength:
    """The result is the frame buffer's size: the frame function gets a zeroed buffer that long.

    The simulator refuses a picture that does not fit; a larger buffer gives the picture exactly,
    or a clean MemoryError, before the frame function, when it cannot be had.
    """

    def expect(self, clean, function, code):
        if code < PICTURE_BYTES:
            return [(raised(RuntimeError, FRAME.format(code=SIM_BUFFER_TOO_SMALL)), clean[1])]
        return [clean, (raised(MemoryError), up_to(clean[1], function))]


ON_FAILURE = {
    INIT: Raises("SDK initialization failed with code: {code}"),
    RELEASE: Ignored(),
    SCAN: CameraCount(),
    GET_ID: SkippedId(),
    OPEN: Raises("Failed to open camera: {id}"),
    CLOSE: Raises(OPERATION),  # and the handle is gone all the same
    "InitVEXCAM": Raises(OPERATION),
    "GetVEXCAMFWVersion": Raises(OPERATION),
    "IsVEXCAMControlAvailable": Answer(lambda code: code == 0),
    "GetVEXCAMParam": Answer(float),
    "SetVEXCAMParam": Raises(OPERATION),
    "SetVEXCAMStreamMode": Raises(OPERATION),
    "SetVEXCAMResolution": Raises(OPERATION),
    "SetVEXCAMBinMode": Raises(OPERATION),
    MEM: BufferLength(),
    "ExpVEXCAMSingleFrame": Raises(OPERATION),
    "GetVEXCAMSingleFrame": Raises(FRAME),
    "BeginVEXCAMLive": Raises(OPERATION),
    "GetVEXCAMLiveFrame": Raises(FRAME),
    "StopVEXCAMLive": Raises(OPERATION),
}
# Where one callable treats a failure differently from the others.
OVERRIDES = {
    ("last reference", CLOSE): Ignored(),  # nobody to tell: no exception, no message
}


def effect_of(name, function):
    effect = OVERRIDES.get((name, function), ON_FAILURE.get(function))
    if effect is None:
        pytest.fail(f"{name} calls {function}, which ON_FAILURE does not know: add its outcome")
    return effect


FAULT_CASES = [
    (name, function, code)
    for name, (_, _, functions) in CALLABLES.items()
    for function in functions
    for code in CODES
]


def test_every_sdk_function_called_has_an_expected_outcome(sim):
    called = {(name, function) for name, (_, _, functions) in CALLABLES.items() for function in functions}
    unknown = sorted((n, f) for n, f in called if (n, f) not in OVERRIDES and f not in ON_FAILURE)
    assert unknown == [], f"SDK calls without an expected outcome on failure: {unknown}"
    # No dead entries: every function in the table is reached by some callable.
    assert {f for _, f in called} == set(ON_FAILURE)
    assert set(OVERRIDES) <= called


def test_clean_runs_succeed_and_match_the_sweep(sim, sweep):
    add_sweep_camera()
    again = clean_runs()
    assert again == sweep, "the sweep was collected from different clean runs"
    made = {name: tuple(dict.fromkeys(calls)) for name, (_, calls) in again.items()}
    assert made == {name: functions for name, (_, _, functions) in CALLABLES.items()}
    assert all(outcome[0] == "returned" for outcome, _ in again.values())
    expected = {
        "scan_cameras": sim.cameras(),
        "get_firmware_version": FIRMWARE.hex().upper(),
        "get_single_frame": RAMP,
        "capture_single_frame": RAMP,
        "get_live_frame": RAMP,
        "is_control_available": True,
    }
    for name, value in expected.items():
        assert again[name][0] == returned(value), name


def usable_afterwards(name, stage, sweep):
    """A later well-formed call works; after close(), the camera is closed whatever happened."""
    if name == "close":
        assert stage.run(CALLS["close"]) == (returned(None), ())
        assert stage.run(CALLS["init"]) == (raised(RuntimeError, CLOSED), ())
        return
    again = "Camera" if name == "last reference" else name
    assert stage.run(CALLABLES[again][1]) == sweep[again]
    if name in METHOD_NAMES:  # and the camera still delivers its picture
        assert stage.run(CALLS["capture_single_frame"])[0] == returned(RAMP)


@pytest.mark.parametrize(
    "name, function, code", FAULT_CASES, ids=[f"{n}-{f}-{c:#x}" for n, f, c in FAULT_CASES]
)
def test_fault(sim, sweep, monkeypatch, capfd, name, function, code):
    effect = effect_of(name, function)
    if isinstance(effect, CameraCount) and IN_PROCESS_COUNT < code < SCAN_FAILED:
        scan_beyond_catalog(code)
        return
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    add_sweep_camera()
    on_camera, call_, _ = CALLABLES[name]
    stage = Stage(on_camera)
    try:
        sim.fail_next(function, code)
        outcome, made = stage.run(call_)
        sim.clear_script(function)
        allowed = effect.expect(sweep[name], function, code)
        if len(allowed) == 1:
            assert (outcome, made) == allowed[0]
        else:
            assert (outcome, made) in allowed
        # The SDK resource goes back exactly as often as it was taken.
        assert made.count(RELEASE) == made.count(INIT) - (function == INIT)
        assert sim.bad_handle_calls() == 0
        usable_afterwards(name, stage, sweep)
    finally:
        stage.finish()
    for handle in sim.opened_handles():
        assert sim.close_count(handle) == 1
    # The module holds no SDK resource: the next user takes it anew.
    assert stage.run(CALLS["init_sdk"]) == (returned(None), (INIT, RELEASE))
    assert unraisable == []
    assert capfd.readouterr().err == ""


# A scan is a loop over every index below the count, unsigned, whatever the count. Past about
# a million indexes it would take minutes, so it runs in a child process that the interpreter's
# watchdog thread ends (it needs no GIL, which the scan holds) while the scan is still reading.
def scan_beyond_catalog(count):
    done = run_python(
        f"""
        import faulthandler
        import vexcam, vexcam_sim
        vexcam_sim.reset()
        vexcam_sim.fail_next("ScanVEXCAM", {count})
        faulthandler.dump_traceback_later(2, exit=True)
        ids = vexcam.scan_cameras()
        print("RETURNED", len(ids), flush=True)
        """
    )
    # Ended by the watchdog while still reading ids, not returned early with what it had.
    assert "RETURNED" not in done.stdout, f"the scan stopped early: {done.stdout}"
    assert done.returncode == 1 and "Timeout" in done.stderr, done.stderr


@pytest.mark.parametrize("count", [2**31, 2**32 - 2])
def test_scan_count_above_2_31_is_a_count(count):
    scan_beyond_catalog(count)


@pytest.mark.parametrize("count", [1000, 2**16 + 3])
def test_scan_count_far_above_the_cameras(sim, count):
    sim.fail_next(SCAN, count)
    assert vexcam.scan_cameras() == sim.cameras()
    assert sim.calls(GET_ID) == count and sim.last_args(GET_ID) == (count - 1,)
    assert sim.calls(INIT) == sim.calls(RELEASE) == 1
    assert sim.call_log()[-1] == RELEASE


def test_ids_that_fill_the_whole_buffer(sim):
    camera = "\U0001f4f7".encode()
    sim.script_scan(
        5,
        ids={
            0: b"A" * 64,
            1: camera * 16,  # 64 bytes of four-byte characters
            2: b"\xc3\xa9" * 31 + b"C\xc3",  # the buffer ends inside a character
            3: b"D" * 64,
        },
    )
    assert vexcam.scan_cameras() == ["A" * 64, "\U0001f4f7" * 16, "D" * 64, "SCRIPTED-4"]


def strict_id(raw):
    text = raw.split(b"\0", 1)[0]
    try:
        return [text.decode("utf-8")]
    except UnicodeDecodeError:
        return []


# Any bytes the SDK may leave in the 64-byte buffer: kept exactly when they are UTF-8 (up to
# the first NUL or the end of the buffer), skipped otherwise.
ID_BYTES = st.one_of(
    st.binary(max_size=64),
    st.text(max_size=32).map(lambda text: text.encode("utf-8")[:64]),
)


@settings(
    max_examples=200,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(raw=ID_BYTES)
def test_ids_follow_strict_utf8(sim, raw):
    sim.script_scan(2, ids={0: raw})
    assert vexcam.scan_cameras() == strict_id(raw) + ["SCRIPTED-1"]


READERS = ["get_single_frame", "capture_single_frame", "get_live_frame"]


def pattern(n):
    return ((np.arange(n) * 7 + 3) % 256).astype(np.uint8).tobytes()


def script(sim, width, height, bits, data, mem):
    sim.script_mem_length(mem)
    sim.script_frame(width=width, height=height, bits=bits, channels=1, data=data)


@pytest.mark.parametrize(
    "width, height, bits, mem",
    [
        (2048, 2048, 16, 1),  # 8 MiB of samples behind a one-byte buffer
        (2048, 2048, 16, 3 << 19),  # pooled sizes on both sides
        (2048, 2048, 16, (1 << 20) + 1),  # the last byte is half a sample
        (4096, 2048, 8, (1 << 23) - 1),  # one byte short
    ],
)
@pytest.mark.parametrize("reader", READERS)
def test_picture_larger_than_the_buffer(camera, sim, reader, width, height, bits, mem):
    size = 2 if bits > 8 else 1
    # A full frame of the same size first: its sample block goes back to the pool full of 0xFF,
    # and the short read below may get it again.
    script(sim, width, height, bits, b"\xff" * (width * height * size), width * height * size)
    getattr(camera, reader)()
    data = pattern(mem)
    script(sim, width, height, bits, data, mem)
    frame = getattr(camera, reader)()
    assert frame.shape == (height, width) and frame.itemsize == size
    copied = mem - mem % size
    raw = frame.view(np.uint8).reshape(-1)
    assert raw[:copied].tobytes() == data[:copied]
    assert not raw[copied:].any()


# Under an address-space limit the SDK-sized buffer cannot be had: every reader ends in a clean
# MemoryError before the frame function, and the next read works.
@needs_address_space_limit
@pytest.mark.parametrize("reader", ["capture_single_frame", "get_live_frame"])
def test_unallocatable_sdk_buffer_in_every_reader(reader):
    done = run_python(
        CAP_MEMORY
        + textwrap.dedent(
            f"""
        import json
        import vexcam, vexcam_sim
        vexcam_sim.reset()
        vexcam_sim.set_fast_frames(True)
        cam = vexcam.Camera("VXSIM-M8-001")
        cam.begin_live()
        first = cam.{reader}()
        cap_memory()
        vexcam_sim.script_mem_length(0xFFFFFFFF)
        start = len(vexcam_sim.call_log())
        try:
            cam.{reader}()
            got = "returned"
        except BaseException as exc:
            got = [type(exc).__name__, list(exc.args)]
        made = vexcam_sim.call_log()[start:]
        same = bool((cam.{reader}() == first).all())
        cam.close()
        print(json.dumps({{"got": got, "made": made, "same": same,
                          "bad": vexcam_sim.bad_handle_calls()}}))
        """
        )
    )
    skip_if_uncapped(done)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["got"] == ["MemoryError", []]
    assert result["made"][-1] == MEM and result["made"].count(MEM) == 1
    assert result["same"] is True and result["bad"] == 0
