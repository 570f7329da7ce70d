# Many threads at once on shared and on private cameras: frame reads, settings, live mode,
# close(), dropped references and discovery, with frame calls held inside the SDK now and then
# to widen the races. The run must not crash or hang, every outcome must be one the camera may
# give, and every handle opened must end up closed exactly once and never be used after.
#
# VEXCAM_STRESS_SECONDS (default 3) sets the duration, VEXCAM_STRESS_THREADS (default 6) the
# number of camera threads, VEXCAM_STRESS_SEED replays the operation choices of a run (the
# thread interleaving is up to the machine). Run with -s to see the counts.
import gc
import math
import os
import random
import sys
import threading
import time
import traceback
from collections import Counter
from typing import NamedTuple

import numpy as np
import pytest

import vexcam
import vexcam_sim
from vexcam_sim import CONTROL_IDS, Code, Control
from conftest import FRAME, METHODS, MODULE_LEVEL, call

SECONDS = float(os.environ.get("VEXCAM_STRESS_SECONDS", "3"))
THREADS = int(os.environ.get("VEXCAM_STRESS_THREADS", "6"))
SEED = int(os.environ.get("VEXCAM_STRESS_SEED", "0")) or random.SystemRandom().randrange(1, 2**32)

CLOSED = "Camera handle is null or closed"
NO_EXPOSURE = f"Failed to get frame data with return code: {Code.NO_FRAME:d}"
NOT_LIVE = f"Failed to get frame data with return code: {Code.NOT_LIVE:d}"
REFUSED = f"Operation failed with error code: {Code.OUT_OF_RANGE:d}"
# Besides CLOSED, the only failures a shared camera may report: another thread may not have
# exposed yet, may have stopped the stream, or may have left a region the new setting misfits.
SHARED_FAILURES = {
    "get_single_frame": {NO_EXPOSURE: "no exposure"},
    "get_live_frame": {NOT_LIVE: "not live"},
    "set_resolution": {REFUSED: "refused"},
    "set_bin_mode": {REFUSED: "refused"},
}

# Frame calls run without the interpreter lock, so holding them inside the SDK stalls only
# their readers; holding any other call would stall every thread, this one too.
HELD_FUNCTIONS = tuple(dict.fromkeys(f for c in METHODS if c.kind == "waiting" for f in c.sdk))
IMPLEMENTED = set(Control)
VALID_CONTROLS = sorted(CONTROL_IDS)


class Sensor(NamedTuple):
    width: int
    height: int
    bits: int
    firmware: str


# Small sensors keep a frame read cheap; the one full-size camera keeps the real buffer sizes.
M8 = {c.id: c for c in vexcam_sim.DEFAULT_CAMERAS}["VXSIM-M8-001"]
SENSORS = {
    "STRESS-S8": Sensor(64, 48, 8, "0A0B0C"),
    "STRESS-S12": Sensor(96, 40, 12, "0C0001"),
    M8.id: Sensor(M8.width, M8.height, M8.bits, M8.firmware[:3].hex().upper()),
}
OPEN_WEIGHTS = [0.45, 0.45, 0.1]

# Relative frequency of each operation in a camera thread; every other method of the registry
# comes up with weight 1, called as the registry's well-formed call.
WEIGHTS = {
    "get_single_frame": 3,
    "capture_single_frame": 3,
    "exp_single_frame": 2,
    "get_live_frame": 3,
    "begin_live": 1.5,
    "stop_live": 0.7,
    "close": 0.3,
    "drop": 0.3,
    "scan_cameras": 0.2,
    "init_sdk": 0.2,
}
OPERATIONS = {
    **{c.name: WEIGHTS.get(c.name, 1) for c in METHODS},
    **{c.name: WEIGHTS[c.name] for c in MODULE_LEVEL if c.kind == "function"},
    "drop": WEIGHTS["drop"],
}
REGISTERED = {c.name: c for c in METHODS}
OP_NAMES = list(OPERATIONS)
OP_WEIGHTS = list(OPERATIONS.values())


class Model:
    """What a private camera must do, followed call by call by the one thread that uses it."""

    def __init__(self, sensor):
        self.sensor = sensor
        self.region = (0, 0, sensor.width, sensor.height)
        self.bin = 1
        self.exposed = None  # frame shape of the last exposure
        self.live = False
        self.closed = False

    def shape(self):
        _, _, width, height = self.region
        return height // self.bin, width // self.bin

    def region_fits(self, x, y, width, height):
        sensor = self.sensor
        return (
            width >= self.bin
            and height >= self.bin
            and x + width <= sensor.width
            and y + height <= sensor.height
        )

    def bin_fits(self, bin_x, bin_y):
        _, _, width, height = self.region
        return bin_x == bin_y and bin_x in (1, 2, 4) and width >= bin_x and height >= bin_x


class Unexpected(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Unexpected(what)


def check_frame(frame, sensor, shapes=None):
    expect(isinstance(frame, np.ndarray) and frame.ndim == 2, f"not a 2-d array: {frame!r}")
    expect(frame.dtype == (np.uint8 if sensor.bits <= 8 else np.uint16), f"dtype {frame.dtype}")
    expect(frame.flags.c_contiguous and frame.flags.writeable, "array flags")
    height, width = frame.shape
    if shapes is not None:
        expect(frame.shape in shapes, f"shape {frame.shape}, expected one of {shapes}")
    else:
        expect(1 <= height <= sensor.height and 1 <= width <= sensor.width, f"shape {frame.shape}")
    expect(int(frame.max()) < 2**sensor.bits, f"sample above {sensor.bits} bits")


def random_region(rng, sensor):
    width = rng.randint(1, sensor.width)
    height = rng.randint(1, sensor.height)
    y = rng.randint(0, sensor.height - height)
    if rng.random() < 0.15:  # one column past the sensor's edge: refused
        return sensor.width - width + 1, y, width, height
    return rng.randint(0, sensor.width - width), y, width, height


def random_setting(rng):
    control = rng.choice(
        [Control.OFFSET, Control.FRAME_RATE, Control.COOLER_ON, Control.COOLER_TARGET, Control.TEST_PATTERN]
    )
    info = control.info
    if control == Control.FRAME_RATE:
        return control, rng.uniform(50, info.max)  # fast enough that a live read never waits long
    if control == Control.TEST_PATTERN:
        return control, float(rng.randint(0, 1))  # the scene or the ramp
    if info.integer:
        return control, float(rng.randint(int(info.min), int(info.max)))
    return control, rng.uniform(info.min, info.max)


def run_op(name, cam, rng, sensor, model):
    """Runs one operation; returns the outcome's label or raises Unexpected.

    With a model (a private camera) the outcome must be exactly what the model says; without
    one (a shared camera) it may be any outcome that other threads' calls can explain.
    """
    closed = model is not None and model.closed
    try:
        if name == "get_single_frame":
            frame = cam.get_single_frame()
            # A real exposure keeps its picture; in fast mode a read gets the current region's.
            check_frame(frame, sensor, {model.exposed, model.shape()} if model else None)
            expect(not closed and (model is None or model.exposed), "read without exposure")
        elif name == "capture_single_frame":
            frame = cam.capture_single_frame()
            check_frame(frame, sensor, {model.shape()} if model else None)
            expect(not closed, "read on a closed camera")
            if model:
                model.exposed = model.shape()
        elif name == "exp_single_frame":
            expect(cam.exp_single_frame() is None and not closed, "exposure")
            if model:
                model.exposed = model.shape()
        elif name == "get_live_frame":
            frame = cam.get_live_frame()
            check_frame(frame, sensor)
            expect(not closed and (model is None or model.live), "live frame while stopped")
        elif name in ("begin_live", "stop_live"):
            expect(getattr(cam, name)() is None and not closed, name)
            if model:
                model.live = name == "begin_live"
        elif name == "set_gain":
            expect(cam.set_gain(rng.uniform(0, 100)) is None and not closed, name)
        elif name == "set_exposure":
            expect(cam.set_exposure(rng.randint(1, 5000)) is None and not closed, name)
        elif name == "set_param":
            expect(cam.set_param(*random_setting(rng)) is None and not closed, name)
        elif name == "get_param":
            value = cam.get_param(rng.choice(sorted(IMPLEMENTED)))
            expect(type(value) is float and math.isfinite(value), f"get_param gave {value!r}")
            expect(not closed or value == 0.0, "get_param on a closed camera")
        elif name == "set_resolution":
            region = random_region(rng, sensor)
            fits = model.region_fits(*region) if model else None
            cam.set_resolution(*region)
            expect(not closed and fits is not False, f"set_resolution{region} accepted")
            if model:
                model.region = region
        elif name == "set_bin_mode":
            factors = rng.choice([(1, 1), (2, 2), (4, 4), (4, 4), (2, 4), (3, 3)])
            fits = model.bin_fits(*factors) if model else None
            cam.set_bin_mode(*factors)
            expect(not closed and fits is not False, f"set_bin_mode{factors} accepted")
            if model:
                model.bin = factors[0]
        elif name == "is_control_available":
            control = rng.choice(VALID_CONTROLS)
            available = cam.is_control_available(control)
            expect(type(available) is bool, f"is_control_available gave {available!r}")
            expect(not available or control in IMPLEMENTED, f"control {control} available")
            if model:
                expect(available == (control in IMPLEMENTED and not closed), f"control {control}")
        elif name == "get_firmware_version":
            version = cam.get_firmware_version()
            expect(version == sensor.firmware and not closed, f"firmware {version!r}")
        else:  # the registry's well-formed call
            registered = REGISTERED[name]
            result = call(registered, cam)
            expect(registered.returns == FRAME or type(result) is registered.returns, f"{name} gave {result!r}")
            expect(not closed or registered.closed == "answers", f"{name} on a closed camera")
        return "ok"
    except RuntimeError as exc:
        message = str(exc)
        if message == CLOSED:
            expect(model is None or closed, f"{name}: {message} on an open camera")
            return "closed"
        if model is None and message in SHARED_FAILURES.get(name, {}):
            return SHARED_FAILURES[name][message]
        if model is not None and not closed:
            if message == NO_EXPOSURE and name == "get_single_frame" and model.exposed is None:
                return "no exposure"
            if message == NOT_LIVE and name == "get_live_frame" and not model.live:
                return "not live"
            if message == REFUSED and name in ("set_resolution", "set_bin_mode"):
                expect(fits is False, f"{name}: refused a fitting value")
                return "refused"
        raise Unexpected(f"{name}: RuntimeError({message!r})") from None


def run_discovery(name, expected_ids):
    if name == "scan_cameras":
        ids = vexcam.scan_cameras()
        expect(ids == expected_ids, f"scan_cameras gave {ids!r}")
    else:
        expect(vexcam.init_sdk() is None, "init_sdk")
    return "ok"


class Run:
    """State shared by the threads of one run: deadline, shared cameras, counts, failures."""

    def __init__(self, seed, seconds, expected_ids):
        self.seed = seed
        self.deadline = time.monotonic() + seconds
        self.expected_ids = expected_ids
        self.slots = []
        self.counts = Counter()
        self.opened = Counter()  # cameras constructed, per thread
        self.failures = []
        self.lock = threading.Lock()  # guards counts and failures only, never a camera call

    def running(self):
        return time.monotonic() < self.deadline

    def open_camera(self, rng, name):
        camera_id = rng.choices(list(SENSORS), OPEN_WEIGHTS)[0]
        cam = vexcam.Camera(camera_id)
        self.opened[name] += 1
        return cam, SENSORS[camera_id]

    def report(self, counts, failure=None):
        with self.lock:
            self.counts.update(counts)
            if failure and len(self.failures) < 20:
                self.failures.append(failure)


class CameraThread(threading.Thread):
    """Runs random operations until the deadline; a failure is kept as text, never as an
    exception object, whose traceback would keep cameras alive past the handle checks."""

    def __init__(self, run, role, index):
        super().__init__(name=f"{role}-{index}", daemon=True)
        self.run_state, self.role = run, role
        self.rng = random.Random(f"{run.seed}-{role}-{index}")

    def run(self):
        counts = Counter()
        failure = None
        try:
            if self.role == "shared":
                self.shared_loop(counts)
            else:
                self.private_loop(counts)
        except BaseException:  # noqa: BLE001 - reported by the test after the join
            failure = f"{self.name}: {traceback.format_exc(limit=4)}"
        self.run_state.report(counts, failure)

    def choose(self):
        return self.rng.choices(OP_NAMES, OP_WEIGHTS)[0]

    def shared_loop(self, counts):
        run, rng = self.run_state, self.rng
        while run.running():
            slot = rng.randrange(len(run.slots))
            cam, sensor = run.slots[slot]
            name = self.choose()
            if name in ("scan_cameras", "init_sdk"):
                outcome = run_discovery(name, run.expected_ids)
            elif name == "drop":
                # Other threads may still hold the old camera, or read from it: the last of
                # them to let go closes it.
                run.slots[slot] = run.open_camera(rng, self.name)
                outcome = "ok"
                if rng.random() < 0.3:
                    # Or the cycle collector does, on whichever thread happens to run it.
                    cycle = [(cam, sensor)]
                    cycle.append(cycle)
                    del cycle
                    outcome = "to collector"
            elif name == "close":
                expect(cam.close() is None, "close")
                outcome = "left open" if is_open(cam) else "closed"
            else:
                outcome = run_op(name, cam, rng, sensor, None)
                if outcome == "closed" and rng.random() < 0.3:
                    run.slots[slot] = run.open_camera(rng, self.name)
            counts[name, outcome] += 1
            del cam

    def private_loop(self, counts):
        run, rng = self.run_state, self.rng
        cam, sensor = run.open_camera(rng, self.name)
        model = Model(sensor)
        while run.running():
            name = self.choose()
            if name in ("scan_cameras", "init_sdk"):
                outcome = run_discovery(name, run.expected_ids)
            elif name == "drop" or (model.closed and rng.random() < 0.3):
                # The only reference: the camera closes right here, inside the assignment.
                cam = None
                cam, sensor = run.open_camera(rng, self.name)
                model = Model(sensor)
                name, outcome = "drop" if name == "drop" else "reopen", "ok"
            elif name == "close":
                expect(cam.close() is None, "close")
                expect(not is_open(cam), "close() with no read running left the handle open")
                model.closed = True
                model.live = False
                outcome = "closed"
            else:
                outcome = run_op(name, cam, rng, sensor, model)
            counts[name, outcome] += 1


def is_open(cam):
    try:
        cam.get_firmware_version()
        return True
    except RuntimeError as exc:
        expect(str(exc) == CLOSED, f"firmware after close: {exc}")
        return False


class Disturber(threading.Thread):
    """Holds frame calls inside the SDK for a moment, closing or dropping shared cameras
    meanwhile, and now and then lets exposures and live frames take real time."""

    def __init__(self, run):
        super().__init__(name="disturber", daemon=True)
        self.run_state = run
        self.rng = random.Random(f"{run.seed}-disturber")

    def run(self):
        counts = Counter()
        failure = None
        try:
            self.loop(counts)
        except BaseException:  # noqa: BLE001 - reported by the test after the join
            failure = f"{self.name}: {traceback.format_exc(limit=4)}"
        finally:
            for function in HELD_FUNCTIONS:
                vexcam_sim.unblock(function)
            vexcam_sim.set_fast_frames(True)
        self.run_state.report(counts, failure)

    def loop(self, counts):
        run, rng = self.run_state, self.rng
        while run.running():
            time.sleep(rng.uniform(0.005, 0.03))
            if rng.random() < 0.1:
                vexcam_sim.set_fast_frames(False)
                time.sleep(rng.uniform(0.01, 0.05))
                vexcam_sim.set_fast_frames(True)
                counts["real time", "ok"] += 1
                continue
            function = rng.choice(HELD_FUNCTIONS)
            vexcam_sim.block(function)
            try:
                caught = vexcam_sim.wait_blocked(function, timeout=0.02)
                if caught:
                    slot = rng.randrange(len(run.slots))
                    if rng.random() < 0.5:
                        cam, _ = run.slots[slot]
                        expect(cam.close() is None, "close")
                        del cam
                        action = "close during hold"
                    else:
                        run.slots[slot] = run.open_camera(rng, self.name)
                        action = "drop during hold"
                    counts[action, "ok"] += 1
                time.sleep(rng.uniform(0.0005, 0.005))
            finally:
                vexcam_sim.unblock(function)
            counts[f"hold {function}", "caught" if caught else "idle"] += 1


@pytest.fixture
def stress_sim(sim):
    sim.add_camera("STRESS-S8", 64, 48, 8, firmware=b"\x0a\x0b\x0c")
    sim.add_camera("STRESS-S12", 96, 40, 12, firmware=b"\x0c\x00\x01")
    sim.set_fast_frames(True)
    sim.set_exposure_cap_us(200)
    # Threads open the same few ids again and again, each time a handle of their own.
    sim.allow_shared_open()
    return sim


def summary(run, threads, elapsed, handles):
    camera_ops = {*OPERATIONS, "reopen"}
    total = sum(count for (name, _), count in run.counts.items() if name in camera_ops)
    line = (
        f"stress seed={run.seed}: {threads} threads x {elapsed:.1f} s x {total} operations "
        f"({total / elapsed:.0f}/s), {len(handles)} handles opened"
    )
    kinds = Counter()
    for (name, outcome), count in sorted(run.counts.items()):
        kinds[name] += count
    details = ", ".join(
        f"{name} {kinds[name]} ("
        + " ".join(f"{o}={c}" for (n, o), c in sorted(run.counts.items()) if n == name)
        + ")"
        for name in sorted(kinds)
    )
    return line, details


def test_threads_share_drop_and_close_cameras_without_fault(stress_sim, watchdog):
    watchdog(2 * SECONDS + 60)
    sim = stress_sim
    shared = max(1, THREADS - THREADS // 3)
    private = THREADS // 3
    run = Run(SEED, SECONDS, sim.cameras())
    setup_rng = random.Random(f"{SEED}-slots")
    run.slots = [run.open_camera(setup_rng, "setup") for _ in range(2)]
    threads = [CameraThread(run, "shared", i) for i in range(shared)]
    threads += [CameraThread(run, "private", i) for i in range(private)]
    disturber = Disturber(run)
    started = time.monotonic()
    try:
        for thread in (*threads, disturber):
            thread.start()
        disturber.join(SECONDS + 30)
        # Lift any hold the disturber left behind, so no camera thread waits in the SDK.
        for function in HELD_FUNCTIONS:
            sim.unblock(function)
        for thread in threads:
            thread.join(max(0.0, run.deadline - time.monotonic()) + 30)
    finally:
        run.deadline = 0.0
        for function in HELD_FUNCTIONS:
            sim.unblock(function)
    elapsed = time.monotonic() - started
    stuck = [thread.name for thread in (*threads, disturber) if thread.is_alive()]
    assert not stuck, f"seed {SEED}: threads still running: {stuck}"

    run.slots.clear()
    gc.collect()
    handles = sim.opened_handles()
    line, details = summary(run, len(threads) + 1, elapsed, handles)
    print(f"\n{line}\n  {details}", file=sys.stdout)

    assert not run.failures, f"seed {SEED}:\n" + "\n".join(run.failures)
    assert len(handles) == sum(run.opened.values())
    assert sim.bad_handle_calls() == 0, f"seed {SEED}: SDK called with a null or closed handle"
    closes = {handle: sim.close_count(handle) for handle in handles}
    wrong = {handle: count for handle, count in closes.items() if count != 1}
    assert not wrong, f"seed {SEED}: handles not closed exactly once: {wrong}"
    assert not set(handles) & set(sim.open_handles()), f"seed {SEED}: handles left open"
