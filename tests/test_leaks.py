# Leaks: repeat an operation many times; references, Python memory and mapped memory stay flat.
import gc
import resource
import sys
import tracemalloc

import pytest

import vexcam
from conftest import M8

ROUNDS = 2000
PYTHON_SLACK = 64 * 1024  # bytes of traced Python memory that may move for other reasons
MAPPED_SLACK = 256 * 1024 * 1024  # one leaked 8 MiB frame per round would far exceed this


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def mapped_bytes():
    # Virtual size, not resident: a leaked zero-filled buffer may never be touched.
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()


def traced_growth(operation, rounds=ROUNDS):
    for _ in range(20):  # caches, interned strings and first-use type objects settle first
        operation()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            operation()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def swallow(call, *errors):
    def operation():
        try:
            call()
        except errors:
            pass

    return operation


def test_constructing_and_dropping_cameras(sim):
    camera_id = "".join(["VXSIM-", "M8-001"])  # a fresh object, not the interned literal
    type_refs, id_refs = sys.getrefcount(vexcam.Camera), sys.getrefcount(camera_id)
    for _ in range(200):
        vexcam.Camera(camera_id)
    for _ in range(200):
        vexcam.Camera(id=camera_id).close()
    gc.collect()
    # Counted outside the assert: its rewriting holds extra references to attribute values.
    after = sys.getrefcount(vexcam.Camera), sys.getrefcount(camera_id)
    assert after == (type_refs, id_refs)
    assert sim.open_handles() == []


def test_failed_constructions(sim):
    sim.open_returns_null()
    operation = swallow(lambda: vexcam.Camera(M8), RuntimeError)
    assert traced_growth(operation) < PYTHON_SLACK
    assert traced_growth(swallow(lambda: vexcam.Camera("a\0b"), RuntimeError)) < PYTHON_SLACK
    assert traced_growth(swallow(lambda: vexcam.Camera(), TypeError)) < PYTHON_SLACK


@pytest.mark.parametrize(
    "call, errors",
    [
        (lambda c: c.get_param(6), ()),
        (lambda c: c.is_control_available(6), ()),
        (lambda c: c.get_firmware_version(), ()),
        (lambda c: c.get_param(38), (ValueError,)),
        (lambda c: c.set_param(38, 1.0), (ValueError,)),
        (lambda c: c.set_resolution(0, 0), (TypeError,)),
        (lambda c: c.set_param(6, value=1.0, bogus=2), (TypeError,)),
        (lambda c: c.set_exposure(1.5), (TypeError,)),
        (lambda c: c.set_exposure(2**40), (OverflowError,)),
        (lambda c: c.set_gain("x"), (TypeError,)),
    ],
)
def test_repeated_calls(camera, call, errors):
    refs = sys.getrefcount(camera)
    assert traced_growth(swallow(lambda: call(camera), *errors) if errors else lambda: call(camera)) < PYTHON_SLACK
    assert sys.getrefcount(camera) == refs


def test_repeated_sdk_failures(camera, sim):
    sim.fail_always("SetVEXCAMParam", 0xFFFFFFFF)
    sim.fail_always("InitVEXCAM", 3)
    assert traced_growth(swallow(lambda: camera.set_gain(1.0), RuntimeError)) < PYTHON_SLACK
    assert traced_growth(swallow(camera.init, RuntimeError)) < PYTHON_SLACK


def test_closed_camera_calls(closed_camera):
    assert traced_growth(swallow(closed_camera.init, RuntimeError)) < PYTHON_SLACK
    assert traced_growth(swallow(closed_camera.get_single_frame, RuntimeError)) < PYTHON_SLACK


def test_discovery(sim):
    assert traced_growth(vexcam.scan_cameras, 500) < PYTHON_SLACK
    assert traced_growth(vexcam.init_sdk, 500) < PYTHON_SLACK
    sim.script_scan(0xFFFFFFFF)
    assert traced_growth(swallow(vexcam.scan_cameras, RuntimeError), 500) < PYTHON_SLACK


def test_converted_arguments_are_released(camera, sim):
    sim.fail_always("SetVEXCAMParam", 0)
    gain = float("1.2345")
    accepted, refused = 3_000_000_123, 2**40 + 17
    counts = [sys.getrefcount(obj) for obj in (gain, accepted, refused)]
    for _ in range(ROUNDS):
        camera.set_gain(gain)
        camera.set_exposure(Index(accepted))
        with pytest.raises(OverflowError):
            camera.set_exposure(Index(refused))
    assert [sys.getrefcount(obj) for obj in (gain, accepted, refused)] == counts


def test_frames_release_their_buffers(camera16, sim):
    # 8 MiB of samples per frame, filled for real, so every leaked buffer is mapped memory.
    sim.set_fast_frames(True)
    camera16.capture_single_frame()
    container_type = type(camera16.get_single_frame().base)
    gc.collect()
    type_refs, before = sys.getrefcount(container_type), mapped_bytes()
    for _ in range(60):
        frame = camera16.capture_single_frame()
        view = frame[::2]
        del frame, view
    gc.collect()
    type_refs_after = sys.getrefcount(container_type)
    assert mapped_bytes() - before < MAPPED_SLACK
    assert type_refs_after == type_refs


@pytest.mark.parametrize("case", ["zero-size", "frame-error", "mem-zero"])
def test_failed_reads_release_their_buffers(camera, sim, case):
    size = 32 * 1024 * 1024
    before = mapped_bytes()
    for _ in range(40):
        if case == "zero-size":
            sim.script_mem_length(size)
            sim.script_frame(width=0, height=4, bits=8, data=b"\xaa" * 4096)
            expected = ValueError
        elif case == "frame-error":
            sim.script_mem_length(size)
            sim.fail_next("GetVEXCAMSingleFrame", 5)
            expected = RuntimeError
        else:
            sim.script_mem_length(0)
            expected = RuntimeError
        with pytest.raises(expected):
            camera.get_single_frame()
    gc.collect()
    assert mapped_bytes() - before < MAPPED_SLACK
