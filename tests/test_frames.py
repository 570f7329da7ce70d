# Frames: SDK call sequences of the six acquisition methods and the arrays they return.
import gc
import time

import numpy as np
import pytest

from vexcam_sim import Control

MEM, SINGLE, LIVE, EXPOSE = "GetVEXCAMMemLength", "GetVEXCAMSingleFrame", "GetVEXCAMLiveFrame", "ExpVEXCAMSingleFrame"
CLOSED = "Camera handle is null or closed"
ZERO_SIZE = "Invalid frame dimensions (width or height is 0)"

READERS = {
    "get_single_frame": [MEM, SINGLE],
    "capture_single_frame": [EXPOSE, MEM, SINGLE],
    "get_live_frame": [MEM, LIVE],
}


def script(sim, width, height, bits, data=b"", mem=None, channels=1, times=1):
    sim.script_mem_length(len(data) if mem is None else mem, times=times)
    sim.script_frame(width=width, height=height, bits=bits, channels=channels, data=data, times=times)


def pattern(n):
    return bytes((i * 7 + 3) % 256 for i in range(n))


@pytest.mark.parametrize("reader, sequence", READERS.items())
def test_read_sequence(camera, handle, sim, sdk_calls, reader, sequence):
    script(sim, 4, 3, 8, pattern(12))
    with sdk_calls() as made:
        frame = getattr(camera, reader)()
    assert made == sequence
    assert all(sim.last_args(function) == (handle,) for function in sequence)
    assert frame.shape == (3, 4)


@pytest.mark.parametrize(
    "bits, dtype",
    [(0, np.uint8), (1, np.uint8), (7, np.uint8), (8, np.uint8)]
    + [(b, np.uint16) for b in (9, 10, 12, 14, 16, 17, 32, 255, 2**31, 4294967295)],
)
@pytest.mark.parametrize("reader", READERS)
def test_element_type_follows_bits_per_pixel(camera, sim, reader, bits, dtype):
    data = pattern(24)
    script(sim, 4, 3, bits, data)
    frame = getattr(camera, reader)()
    assert frame.dtype == np.dtype(dtype) and frame.dtype.isnative
    itemsize = frame.dtype.itemsize
    assert frame.shape == (3, 4)
    assert frame.strides == (4 * itemsize, itemsize)
    expected = np.frombuffer(data[: 12 * itemsize], dtype=dtype).reshape(3, 4)
    np.testing.assert_array_equal(frame, expected)


@pytest.mark.parametrize("width, height", [(1, 1), (1, 7), (7, 1), (5, 3), (640, 480), (4097, 2)])
@pytest.mark.parametrize("bits", [8, 16])
def test_shape_and_strides(camera, sim, width, height, bits):
    size = 1 if bits == 8 else 2
    data = pattern(width * height * size)
    script(sim, width, height, bits, data)
    frame = camera.get_single_frame()
    assert frame.ndim == 2 and frame.shape == (height, width)
    assert frame.strides == (width * size, size)
    assert frame.tobytes() == data


def test_sixteen_bit_samples_keep_the_sdks_byte_order(camera, sim):
    script(sim, 2, 1, 16, b"\x34\x12\xff\x00")
    assert camera.get_single_frame().tolist() == [[0x1234, 0x00FF]]


def test_twelve_bit_samples_are_not_scaled(camera, sim):
    script(sim, 3, 1, 12, b"\xff\x0f\xff\xff\x01\x00")
    assert camera.get_single_frame().tolist() == [[4095, 65535, 1]]


@pytest.mark.parametrize(
    "bits, mem, data, expected",
    [
        (8, 5, b"\x01\x02\x03\x04\x05", [1, 2, 3, 4, 5, 0, 0, 0]),  # short: zeros after
        (8, 11, pattern(11), list(pattern(8))),  # long: surplus ignored
        (16, 7, b"\x01\x00\x02\x00\x03\x00\x09", [1, 2, 3, 0, 0, 0, 0, 0]),  # odd last byte
        (16, 1, b"\x09", [0] * 8),
        (16, 21, pattern(21), np.frombuffer(pattern(16), "<u2").tolist()),
    ],
)
def test_data_shorter_or_longer_than_the_picture(camera, sim, bits, mem, data, expected):
    script(sim, 4, 2, bits, data, mem=mem)
    frame = camera.get_single_frame()
    assert frame.ravel().tolist() == expected


@pytest.mark.parametrize("bits", [8, 16])
def test_colour_frames_keep_the_first_plane(camera, sim, bits):
    size = bits // 8
    data = pattern(4 * 2 * 3 * size)
    script(sim, 4, 2, bits, data, channels=3)
    frame = camera.get_live_frame()
    assert frame.shape == (2, 4)
    assert frame.tobytes() == data[: 8 * size]


@pytest.mark.parametrize("width, height", [(0, 3), (4, 0), (0, 0)])
@pytest.mark.parametrize("bits, channels", [(8, 1), (16, 3), (0, 0)])
@pytest.mark.parametrize("reader", READERS)
def test_zero_dimension_is_value_error(camera, sim, reader, width, height, bits, channels):
    script(sim, width, height, bits, pattern(64), channels=channels)
    with pytest.raises(ValueError) as info:
        getattr(camera, reader)()
    assert type(info.value) is ValueError and info.value.args == (ZERO_SIZE,)


def test_unwritten_out_values_read_as_zero(camera, sim):
    sim.script_mem_length(16)
    sim.script_frame(unwritten=True, data=pattern(16))
    with pytest.raises(ValueError, match=r"^Invalid frame dimensions \(width or height is 0\)$"):
        camera.get_single_frame()
    # Bits per pixel left unwritten counts as 0, which means 8-bit samples.
    sim.script_mem_length(16)
    sim.script_frame(width=4, height=2, data=pattern(16))
    assert camera.get_single_frame().dtype == np.uint8


@pytest.mark.parametrize("reader, sequence", READERS.items())
def test_zero_mem_length_skips_the_frame_call(camera, sim, sdk_calls, reader, sequence):
    sim.script_mem_length(0)
    with sdk_calls() as made, pytest.raises(RuntimeError) as info:
        getattr(camera, reader)()
    assert str(info.value) == "Failed to get frame data with return code: 0"
    assert made == sequence[:-1]


@pytest.mark.parametrize("code", [1, 2, 0xFFFFFFFF])
@pytest.mark.parametrize("reader, sequence", READERS.items())
def test_frame_call_failure(camera, sim, sdk_calls, reader, sequence, code):
    sim.fail_next(sequence[-1], code)
    with sdk_calls() as made, pytest.raises(RuntimeError) as info:
        getattr(camera, reader)()
    assert str(info.value) == f"Failed to get frame data with return code: {code}"
    assert made == sequence


def test_failed_exposure_stops_capture(camera, sim, sdk_calls):
    sim.fail_next(EXPOSE, 4)
    with sdk_calls() as made, pytest.raises(RuntimeError) as info:
        camera.capture_single_frame()
    assert str(info.value) == "Operation failed with error code: 4"
    assert made == [EXPOSE]


@pytest.mark.parametrize("reader, sequence", READERS.items())
def test_buffer_is_zeroed_for_every_read(camera, sim, reader, sequence):
    for _ in range(3):
        script(sim, 16, 16, 8, b"\xff" * 256)
        getattr(camera, reader)()
        assert sim.frame_buffer_zeroed(sequence[-1]) is True


@pytest.mark.parametrize(
    "method, function",
    [("exp_single_frame", EXPOSE), ("begin_live", "BeginVEXCAMLive"), ("stop_live", "StopVEXCAMLive")],
)
def test_plain_acquisition_calls(camera, handle, sim, sdk_calls, method, function):
    with sdk_calls() as made:
        for _ in range(2):
            sim.fail_next(function, 0)
            assert getattr(camera, method)() is None
    assert made == [function, function]
    assert sim.last_args(function) == (handle,)


@pytest.mark.parametrize("method", ["exp_single_frame", "begin_live", "stop_live", *READERS])
def test_closed_camera_reads_nothing(closed_camera, sdk_calls, method):
    with sdk_calls() as made, pytest.raises(RuntimeError) as info:
        getattr(closed_camera, method)()
    assert type(info.value) is RuntimeError and str(info.value) == CLOSED
    assert made == []


def test_array_flags_and_base(camera, sim):
    script(sim, 4, 3, 16, pattern(24))
    frame = camera.get_single_frame()
    assert type(frame) is np.ndarray
    assert frame.flags.writeable and frame.flags.c_contiguous and not frame.flags.owndata
    container = type(frame.base)
    assert (container.__name__, container.__qualname__, container.__module__) == (
        "PySliceContainer",
        "PySliceContainer",
        "builtins",
    )
    assert container.__bases__ == (object,)
    assert isinstance(container.__doc__, str) and container.__doc__
    frame[0, 0] = 65535
    assert frame[0, 0] == 65535


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"x": 1})])
def test_slice_container_cannot_be_made_from_python(camera, sim, args, kwargs):
    script(sim, 2, 2, 8, pattern(4))
    container = type(camera.get_single_frame().base)
    with pytest.raises(TypeError) as info:
        container(*args, **kwargs)
    assert str(info.value) == "No constructor defined"
    with pytest.raises(TypeError):
        type("Sub", (container,), {})


def test_one_container_type_for_all_frames(camera, sim):
    script(sim, 2, 2, 8, pattern(4))
    small = camera.get_single_frame()
    script(sim, 2, 2, 16, pattern(8))
    wide = camera.get_single_frame()
    assert type(small.base) is type(wide.base)
    assert small.base is not wide.base


def test_slices_keep_the_samples_alive(camera, sim):
    data = pattern(512 * 256 * 2)
    script(sim, 512, 256, 16, data)
    frame = camera.get_single_frame()
    expected = frame[100:110, 7:300].copy()
    view = frame[100:110, 7:300]
    del frame
    gc.collect()
    # Fresh allocations of the same size would reuse freed sample memory.
    script(sim, 512, 256, 16, b"\x00" * len(data), times=4)
    others = [camera.get_single_frame() for _ in range(4)]
    np.testing.assert_array_equal(view, expected)
    assert not any(np.shares_memory(view, other) for other in others)


def test_frames_never_share_memory(camera, sim):
    script(sim, 8, 8, 8, pattern(64), times=2)
    first, second = camera.get_single_frame(), camera.get_single_frame()
    assert not np.shares_memory(first, second)
    first[:] = 0
    assert second.tobytes() == pattern(64)


def test_real_exposures(camera, camera16, sim):
    # Unscripted frames from the simulated cameras: full sensor, their own sample width.
    frame = camera.capture_single_frame()
    assert (frame.shape, frame.dtype) == ((960, 1280), np.uint8)
    camera16.exp_single_frame()
    frame = camera16.get_single_frame()
    assert (frame.shape, frame.dtype) == ((2048, 2048), np.uint16)
    assert sim.frame_buffer_zeroed(SINGLE) is True


def test_real_live_stream(camera, sim):
    camera.begin_live()
    deadline = time.monotonic() + 5
    frames = []
    while len(frames) < 2:
        try:
            frames.append(camera.get_live_frame())
        except RuntimeError as exc:
            # No frame ready yet is the SDK's answer, reported at once and not retried.
            assert str(exc).startswith("Failed to get frame data with return code: ")
            assert time.monotonic() < deadline
            time.sleep(0.001)
    camera.stop_live()
    assert all(f.shape == (960, 1280) and f.dtype == np.uint8 for f in frames)
    assert not np.shares_memory(frames[0], frames[1])


def test_reads_alternating_between_sizes_get_clean_buffers(camera, camera16, sim):
    # Large buffers are recycled between reads: each read must still see a zeroed buffer of its
    # own size and return its own exact picture (the simulator's ramp test pattern).
    expected = {}
    for cam, bits in ((camera, 8), (camera16, 16)):
        cam.set_resolution(0, 0, 1024, 768)
        cam.set_param(Control.TEST_PATTERN, 1)
        ys, xs = np.mgrid[0:768, 0:1024]
        expected[bits] = ((xs + ys) & ((1 << bits) - 1)).astype(np.uint8 if bits == 8 else np.uint16)
    frames = []
    for _ in range(3):
        for cam, bits in ((camera, 8), (camera16, 16)):
            frame = cam.capture_single_frame()
            assert sim.frame_buffer_zeroed(SINGLE) is True
            assert np.array_equal(frame, expected[bits])
            frames.append(frame)
    for frame in frames:  # nothing recycled under a frame that is still alive
        assert np.array_equal(frame, expected[8 if frame.dtype == np.uint8 else 16])
