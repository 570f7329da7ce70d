# The interpreter lock: released only inside the four methods that wait on the camera, so other
# threads keep running and may use the same camera meanwhile.
import gc
import sys
import threading
import time

import pytest

import vexcam
from conftest import CALLABLES, EXPOSE, FRAME, LIVE, M16, MEM, SINGLE, call


@pytest.fixture(autouse=True)
def hang_guard(watchdog):
    watchdog(60)


def scripted_frame(sim, times=1):
    sim.script_mem_length(12, times=times)
    sim.script_frame(width=4, height=3, bits=8, channels=1, data=bytes(range(12)), times=times)


class Worker(threading.Thread):
    """Runs one call on its own thread and keeps its outcome."""

    def __init__(self, call):
        super().__init__(daemon=True)
        self.call, self.result, self.error = call, None, None

    def run(self):
        try:
            self.result = self.call()
        except BaseException as exc:  # noqa: BLE001 - reported by the test that joins
            self.error = exc

    def outcome(self):
        self.join(10)
        assert not self.is_alive(), "worker still inside the SDK"
        if self.error is not None:
            raise self.error
        return self.result


def unscripted_ok(sim, *functions):
    for function in functions:
        sim.fail_next(function, 0)


def gil_case(c):
    """(preparation, call, {SDK function: GIL expected held}) for a registry callable."""
    # Frames are scripted; settings succeed whatever the camera thinks of their values.
    prepare = "frame" if c.returns == FRAME else c.sdk if c.params and c.kind == "method" else ()
    return prepare, lambda camera: call(c, camera), {f: c.kind != "waiting" for f in c.sdk}


GIL_TABLE = {c.name: gil_case(c) for c in CALLABLES if c.sdk}
# The last reference going closes the camera.
GIL_TABLE["dealloc"] = ((), lambda camera: vexcam.Camera(M16), {"CloseVEXCAM": True})


@pytest.mark.parametrize("prepare, action, expected", GIL_TABLE.values(), ids=GIL_TABLE)
def test_lock_state_inside_each_sdk_call(camera, sim, prepare, action, expected):
    if prepare == "frame":
        scripted_frame(sim)
    else:
        unscripted_ok(sim, *prepare)
    action(camera)
    assert {function: sim.gil_held(function) for function in expected} == expected


def test_lock_state_in_a_failing_read(camera, sim):
    sim.fail_next(SINGLE, 3)
    with pytest.raises(RuntimeError):
        camera.get_single_frame()
    assert sim.gil_held(MEM) is False and sim.gil_held(SINGLE) is False


@pytest.mark.parametrize(
    "blocked, reader",
    [
        (SINGLE, lambda c: c.get_single_frame()),
        (LIVE, lambda c: c.get_live_frame()),
        (MEM, lambda c: c.capture_single_frame()),
        (EXPOSE, lambda c: c.exp_single_frame()),
    ],
)
def test_other_threads_use_the_camera_during_a_blocked_read(camera, handle, sim, blocked, reader):
    scripted_frame(sim)
    sim.block(blocked)
    worker = Worker(lambda: reader(camera))
    worker.start()
    try:
        assert sim.wait_blocked(blocked)
        sim.script_param(3.5)
        other = Worker(lambda: camera.get_param(6))
        other.start()
        assert other.outcome() == 3.5
        assert sim.gil_held("GetVEXCAMParam") is True
        assert sim.last_args("GetVEXCAMParam") == (handle, 6)
        sim.fail_next("SetVEXCAMParam", 0)
        assert camera.set_gain(1.0) is None
        assert worker.is_alive()
    finally:
        sim.unblock(blocked)
    result = worker.outcome()
    assert result is None or result.shape == (3, 4)
    assert sim.gil_held(blocked) is False


def test_two_reads_of_one_camera_run_together(camera, sim):
    scripted_frame(sim, times=2)
    sim.block(SINGLE)
    workers = [Worker(camera.get_single_frame) for _ in range(2)]
    try:
        for worker in workers:
            worker.start()
        deadline = time.monotonic() + 10
        while sim.calls(SINGLE) < 2:
            assert time.monotonic() < deadline, "the second read waited for the first"
            time.sleep(0.001)
    finally:
        sim.unblock(SINGLE)
    first, second = (worker.outcome() for worker in workers)
    assert first.shape == second.shape == (3, 4)


# close() while reads are inside the SDK:
# (blocked function, read, what each read returns, reads in flight, close() calls)
DEFERRED_CLOSE = [
    ("single", SINGLE, lambda c: c.get_single_frame(), (3, 4), 1, 1),
    ("capture-in-exposure", EXPOSE, lambda c: c.capture_single_frame(), (3, 4), 1, 1),
    ("expose-only", EXPOSE, lambda c: c.exp_single_frame(), None, 1, 1),
    ("two-live-reads-closed-twice", LIVE, lambda c: c.get_live_frame(), (3, 4), 2, 2),
]  # fmt: skip


@pytest.mark.parametrize(
    "blocked, reader, returns, readers, closes",
    [c[1:] for c in DEFERRED_CLOSE],
    ids=[c[0] for c in DEFERRED_CLOSE],
)
def test_close_during_reads_is_completed_by_the_last_read(
    sim, blocked, reader, returns, readers, closes
):
    camera = vexcam.Camera(M16)
    handle = sim.last_handle()
    scripted_frame(sim, times=readers)
    sim.block(blocked)
    workers = [Worker(lambda: reader(camera)) for _ in range(readers)]
    try:
        for worker in workers:
            worker.start()
        deadline = time.monotonic() + 10
        while sim.calls(blocked) < readers:
            assert time.monotonic() < deadline, "reads did not reach the SDK"
            time.sleep(0.001)
        for _ in range(closes):
            assert camera.close() is None
        # From here the camera is closed to every caller, and the handle stays with the reads.
        calls = len(sim.call_log())
        assert camera.get_param(6) == 0.0 and camera.is_control_available(6) is False
        with pytest.raises(RuntimeError, match="^Camera handle is null or closed$"):
            camera.get_live_frame()
        assert len(sim.call_log()) == calls
        assert sim.close_count(handle) == 0
    finally:
        sim.unblock(blocked)
    # The reads end as if the close had come after them; the last of them closes the handle.
    assert [getattr(worker.outcome(), "shape", None) for worker in workers] == [returns] * readers
    assert (sim.close_count(handle), sim.gil_held("CloseVEXCAM")) == (1, True)
    assert camera.close() is None
    del camera
    gc.collect()
    assert sim.close_count(handle) == 1


def test_a_camera_dropped_during_a_read_closes_when_the_read_returns(sim):
    camera = vexcam.Camera(M16)
    handle = sim.last_handle()
    scripted_frame(sim)
    sim.block(SINGLE)
    worker = Worker(camera.get_single_frame)
    try:
        worker.start()
        assert sim.wait_blocked(SINGLE)
        del camera
        gc.collect()
        assert sim.close_count(handle) == 0
    finally:
        sim.unblock(SINGLE)
    assert worker.outcome().shape == (3, 4)
    del worker
    gc.collect()
    assert sim.close_count(handle) == 1


def test_reads_leave_the_reference_count_as_found(camera, sim):
    before = sys.getrefcount(camera)
    scripted_frame(sim, times=2)
    sim.block(SINGLE)
    worker = Worker(camera.get_single_frame)
    worker.start()
    try:
        assert sim.wait_blocked(SINGLE)
    finally:
        sim.unblock(SINGLE)
    worker.outcome()
    del worker
    camera.get_single_frame()
    sim.fail_next(SINGLE, 1)
    with pytest.raises(RuntimeError):
        camera.get_single_frame()
    assert sys.getrefcount(camera) == before
    # With no read in flight, close() is free to close again.
    assert camera.close() is None
    assert sim.open_handles() == []
