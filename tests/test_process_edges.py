# The ends of a process, each in a fresh interpreter, each a few times: the faults to catch are
# an abort, a crash, a hang and lost output, which only show as the child's exit.
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from conftest import run_python

RUNS = 3
# A thread that the interpreter stops at exit keeps what it held, as the interpreter's own
# threads do: no leak check at such an exit. And ASan's allocator keeps freed memory aside,
# so resident sizes mean nothing under it.
NO_LEAK_CHECK = {"ASAN_OPTIONS": "detect_leaks=0"}
under_asan = "asan" in os.environ.get("LD_PRELOAD", "")

PRELUDE = f"""
import os, signal, sys, threading, time
sys.path.insert(0, {str(Path(__file__).parent)!r})
import vexcam, vexcam_sim
vexcam_sim.set_fast_frames(True)
vexcam_sim.set_exposure_cap_us(2000)

def ctrl_c():
    # A Ctrl-C as the process receives it: SIGINT on POSIX systems; on Windows the C
    # runtime's SIGINT, which is what a console's Ctrl-C event ends in.
    if sys.platform == "win32":
        signal.raise_signal(signal.SIGINT)
    else:
        os.kill(os.getpid(), signal.SIGINT)

def reader(cam, first=None):
    def loop():
        if first is not None:
            first.set()
        while True:
            cam.get_live_frame()
    cam.begin_live()
    threading.Thread(target=loop, daemon=True).start()
"""

# (name, script, exit status, last line of standard output)
ENDINGS = [
    ("daemon-reader-returns", """
        reader(vexcam.Camera("VXSIM-M8-001"))
        time.sleep(0.1)
        print("main done")
    """, 0, "main done"),
    ("large-frames-sys-exit", """
        reader(vexcam.Camera("VXSIM-M16-002"))
        time.sleep(0.2)
        print("main done")
        sys.exit(3)
    """, 3, "main done"),
    # The reader's first frame imports NumPy inside the module while the interpreter ends.
    ("first-frame-at-exit", """
        started = threading.Event()
        reader(vexcam.Camera("VXSIM-M16-002"), started)
        started.wait()
        print("main done")
    """, 0, "main done"),
    # Ctrl-C during shutdown, while a non-daemon reader is still reading.
    ("interrupted-shutdown", """
        cam = vexcam.Camera("VXSIM-M16-002")
        cam.begin_live()
        def loop():
            for _ in range(100_000):
                cam.get_live_frame()
        threading.Thread(target=loop).start()
        threading.Timer(0.2, ctrl_c).start()
        print("main done")
    """, 0, "main done"),
    # Ctrl-C while the process's first frame waits in the SDK: the caller's own exception.
    ("signal-during-first-read", """
        cam = vexcam.Camera("VXSIM-M8-001")
        vexcam_sim.block("GetVEXCAMSingleFrame")
        def interrupt():
            vexcam_sim.wait_blocked("GetVEXCAMSingleFrame")
            ctrl_c()
            time.sleep(0.05)
            vexcam_sim.unblock("GetVEXCAMSingleFrame")
        threading.Thread(target=interrupt).start()
        try:
            cam.capture_single_frame()
            sum(range(10))  # the pending signal is handled by the next bytecode at the latest
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
    """, 0, "KeyboardInterrupt"),
    # A signal handler's exception during the NumPy import, which runs before the SDK is asked.
    ("interrupted-numpy-import", """
        class Interrupting:
            def find_spec(self, name, path=None, target=None):
                if name.startswith("numpy"):
                    raise KeyboardInterrupt
        sys.meta_path.insert(0, Interrupting())
        cam = vexcam.Camera("VXSIM-M8-001")
        try:
            cam.capture_single_frame()
        except KeyboardInterrupt:
            print("KeyboardInterrupt", vexcam_sim.calls("ExpVEXCAMSingleFrame"))
    """, 0, "KeyboardInterrupt 0"),
    ("numpy-without-numpy-core", """
        class NoCore:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy.core" or name.startswith("numpy.core."):
                    raise ModuleNotFoundError(name)
        sys.meta_path.insert(0, NoCore())
        print(vexcam.Camera("VXSIM-M8-001").capture_single_frame().shape)
    """, 0, "(960, 1280)"),
    # A Camera made without its constructor is a closed camera, whatever is called on it.
    ("replaced-new", """
        vexcam.Camera.__new__ = lambda cls, *args: object.__new__(cls)
        cam = vexcam.Camera("VXSIM-M8-001")
        outcomes = []
        for call in (cam.close, cam.init, cam.capture_single_frame, lambda: cam.get_param(6),
                     lambda: cam.is_control_available(6), cam.open, cam.close):
            try:
                outcomes.append(call())
            except RuntimeError as exc:
                outcomes.append(str(exc))
        del cam
        print(outcomes, vexcam_sim.call_log())
    """, 0, "[None, 'Camera handle is null or closed', 'Camera handle is null or closed', "
            "0.0, False, None, None] []"),
]  # fmt: skip


# NumPy 1 has no numpy._core: it cannot do without numpy.core.
NUMPY_2 = {"numpy-without-numpy-core"}
needs_numpy_2 = pytest.mark.skipif(
    "int(__import__('numpy').__version__.split('.')[0]) < 2", reason="NumPy 1 has no numpy._core"
)
# A Ctrl-C on Windows does not interrupt the interpreter's wait for its threads at exit.
INTERRUPTED_WAIT = {"interrupted-shutdown"}
interruptible_waits = pytest.mark.skipif(
    sys.platform == "win32", reason="Windows cannot interrupt a thread's lock wait with Ctrl-C"
)


def marks(name):
    return [needs_numpy_2] * (name in NUMPY_2) + [interruptible_waits] * (name in INTERRUPTED_WAIT)


@pytest.mark.parametrize(
    "script, status, last_line",
    [pytest.param(*e[1:], marks=marks(e[0])) for e in ENDINGS],
    ids=[e[0] for e in ENDINGS],
)
def test_process_ends_cleanly(script, status, last_line):
    for _ in range(RUNS):
        done = run_python(PRELUDE + textwrap.dedent(script), timeout=60, env=NO_LEAK_CHECK)
        assert (done.returncode, done.stdout.splitlines()[-1:]) == (status, [last_line]), done.stderr
        assert "terminate called" not in done.stderr and "Fatal Python error" not in done.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="Windows has no fork()")
def test_fork_while_threads_read():
    # Readers keep the frame block pool's lock busy while the process forks; each child frees
    # a frame (the pool again) and finds its parent's cameras closed, without asking the SDK.
    done = run_python(
        PRELUDE
        + """
import warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
cams = [vexcam.Camera("VXSIM-M16-002"), vexcam.Camera("VXSIM-M8-001")]
for cam in cams:
    reader(cam)
frame = cams[1].get_live_frame()
statuses = []
for _ in range(30):
    pid = os.fork()
    if pid == 0:
        calls = vexcam_sim.calls("GetVEXCAMParam")
        del frame
        try:
            cams[0].get_live_frame()
        except RuntimeError as exc:
            closed = str(exc) == "Camera handle is null or closed"
        cams[0].close()
        os._exit(0 if closed and cams[0].get_param(6) == 0.0 and
                 vexcam_sim.calls("GetVEXCAMParam") == calls and
                 vexcam_sim.close_count(vexcam_sim.last_handle()) == 0 else 1)
    deadline = time.monotonic() + 10
    while not (ended := os.waitpid(pid, os.WNOHANG))[0]:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            ended = os.waitpid(pid, 0)
            break
        time.sleep(0.001)
    statuses.append(os.waitstatus_to_exitcode(ended[1]))
print(statuses.count(0), sorted(set(statuses)))
""",
        timeout=120,
    )
    assert done.stdout.split()[0] == "30", done.stdout + done.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="Windows has no fork()")
def test_forked_child_gives_its_frame_memory_back():
    # A child's frame pool counts the child's own cameras only: once its one camera closes, the
    # blocks it pooled go back to the system, whatever its parent had open at the fork.
    done = run_python(
        PRELUDE
        + """
import gc

def resident_mib():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) // 1024 for l in status if l.startswith("VmRSS"))

parent = vexcam.Camera("VXSIM-M8-001")
frame = parent.capture_single_frame()
pid = os.fork()
if pid == 0:
    before = resident_mib()
    cam = vexcam.Camera("VXSIM-M16-002")
    frames = [cam.capture_single_frame() for _ in range(3)]
    cam.close()
    del frames
    gc.collect()
    print(resident_mib() - before, flush=True)
    os._exit(0)
os.waitpid(pid, 0)
""",
        timeout=60,
    )
    assert int(done.stdout.split()[0]) < 8 or under_asan, done.stderr  # MiB; three blocks are 24


def test_memory_returns_when_capturing_stops():
    done = run_python(
        PRELUDE
        + """
import gc, tracemalloc
import numpy
from memory_use import resident_bytes

def resident_mib():
    return resident_bytes() >> 20

def capture(camera_id, frames):
    cam = vexcam.Camera(camera_id)
    cam.begin_live()
    kept = []
    for _ in range(frames):
        kept = [*kept[-2:], cam.get_live_frame()]
    cam.close()

before = resident_mib()
workers = [threading.Thread(target=capture, args=(camera_id, 40)) for camera_id in vexcam.scan_cameras()]
for worker in workers:
    worker.start()
for worker in workers:
    worker.join()
gc.collect()
grown = resident_mib() - before

tracemalloc.start()
cam = vexcam.Camera("VXSIM-M16-002")
frames = [cam.capture_single_frame() for _ in range(4)]
traced = (tracemalloc.get_traced_memory()[0] >> 20) - (sum(f.nbytes for f in frames) >> 20)
del frames
print(grown, traced, tracemalloc.get_traced_memory()[0] >> 20)
""",
        timeout=120,
    )
    grown, traced, after = map(int, done.stdout.split())
    assert grown < 8 or under_asan, done.stderr  # MiB; three frames of each camera take hundreds
    assert (traced, after) == (0, 0)  # MiB beyond the frames' own, and once they are gone


@pytest.mark.skipif(not Path("examples/demo.py").exists(), reason="run from the checkout")
@pytest.mark.skipif(
    sys.platform == "win32",
    reason="Windows sends no SIGINT to another process; its Ctrl-C event needs a shared console",
)
def test_demo_ends_with_one_line_on_ctrl_c():
    demo = subprocess.Popen(
        [sys.executable, "examples/demo.py", "--seconds", "30", "--out", os.devnull],
        env={**os.environ, **NO_LEAK_CHECK},  # Ctrl-C: nor for the plotting library's own
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        for line in demo.stdout:
            if line.startswith("5. Live view"):
                break
        time.sleep(0.3)
        demo.send_signal(signal.SIGINT)
        rest, errors = demo.communicate(timeout=30)
    finally:
        demo.kill()
    assert (demo.returncode, rest.splitlines()[-1:], errors) == (130, ["Interrupted"], "")
