# Faults and isolation, each in a fresh interpreter: sub-interpreters, a missing NumPy, sizes
# that cannot be allocated. A wrong answer here may abort the process, so pytest stays outside.
import json
import textwrap

import pytest

from conftest import CAP_MEMORY, needs_address_space_limit, run_python, skip_if_uncapped

PRELUDE = CAP_MEMORY + """
import json, sys
import vexcam, vexcam_sim
vexcam_sim.reset()
vexcam_sim.set_exposure_cap_us(5000)

def scripted(width, height, bits, data=b"", mem=None):
    vexcam_sim.script_mem_length(len(data) if mem is None else mem)
    vexcam_sim.script_frame(width=width, height=height, bits=bits, channels=1, data=data)

def outcome(call):
    try:
        value = call()
    except BaseException as exc:
        kind = type(exc)
        return {"class": kind.__name__, "text": str(exc), "args": len(exc.args),
                "base": kind.__bases__[0].__name__, "is_exception": isinstance(exc, Exception),
                "id": id(kind)}
    return {"value": value.tolist() if hasattr(value, "tolist") else value}
"""


def run(body):
    done = run_python(PRELUDE + textwrap.dedent(body))
    skip_if_uncapped(done)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_second_interpreter_cannot_import():
    done = run_python(
        """
        import importlib, sys
        import vexcam, vexcam_sim
        first = vexcam
        # A legacy (shared-GIL) interpreter lets single-phase modules load, so the refusal
        # must come from the module's own entry point. The low-level module is renamed in 3.13.
        try:
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        except ModuleNotFoundError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
        probe = '''
        try:
            import vexcam
        except ImportError as exc:
            print("REFUSED", type(exc).__name__, str(exc), flush=True)
        else:
            print("LOADED", flush=True)
        '''
        import textwrap
        interpreters.run_string(interp, textwrap.dedent(probe))
        interpreters.run_string(interp, textwrap.dedent(probe))
        interpreters.destroy(interp)
        del sys.modules["vexcam"]
        again = importlib.import_module("vexcam")
        print("SAME", again is first, flush=True)
        print("WORKS", vexcam.scan_cameras() == vexcam_sim.cameras(), flush=True)
        """
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    refused = [line for line in lines if line.startswith("REFUSED ")]
    assert len(refused) == 2 and not any(line.startswith("LOADED") for line in lines)
    assert all(line.startswith("REFUSED ImportError ") for line in refused)
    assert "interpreter" in refused[0].lower()
    assert "SAME True" in lines and "WORKS True" in lines


def test_missing_numpy_is_a_panic_and_not_remembered():
    result = run(
        """
        assert "numpy" not in sys.modules, "imported before the first frame"

        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError(f"No module named {name!r}")

        blocker = NoNumpy()
        sys.meta_path.insert(0, blocker)
        cam = vexcam.Camera("VXSIM-M8-001")
        failed = []
        for _ in range(2):
            scripted(2, 2, 8, b"\\1\\2\\3\\4")
            failed.append(outcome(cam.get_single_frame))
        sys.meta_path.remove(blocker)
        scripted(2, 2, 8, b"\\1\\2\\3\\4")
        after = outcome(cam.get_single_frame)
        scripted(0xFFFFFFFF, 0xFFFFFFFF, 16, b"\\1\\2")
        overflow = outcome(cam.get_single_frame)
        cam.close()
        print(json.dumps({"failed": failed, "after": after, "overflow": overflow,
                          "bad": vexcam_sim.bad_handle_calls()}))
        """
    )
    first, second = result["failed"]
    for panic in (first, second):
        assert panic["class"] == "PanicException"
        assert panic["base"] == "BaseException" and panic["is_exception"] is False
        assert panic["args"] == 1
        assert panic["text"].startswith("Failed to access NumPy array API capsule: ")
        assert len(panic["text"]) > len("Failed to access NumPy array API capsule: ")
    assert result["after"] == {"value": [[1, 2], [3, 4]]}
    # The class is made once per process.
    assert first["id"] == second["id"] == result["overflow"]["id"]
    assert result["overflow"]["text"] == "capacity overflow"
    assert result["bad"] == 0


@pytest.mark.parametrize(
    "width, height, bits",
    [
        (0xFFFFFFFF, 0xFFFFFFFF, 8),
        (0xFFFFFFFF, 0xFFFFFFFF, 16),
        (0xFFFFFFFF, 0x80000001, 8),  # 2**63 + 2**31 - 1 bytes
        (0x80000000, 0x80000000, 16),  # exactly 2**63 bytes
    ],
)
def test_sample_buffer_of_2_63_bytes_is_a_panic(width, height, bits):
    result = run(
        f"""
        cam = vexcam.Camera("VXSIM-M8-001")
        scripted({width}, {height}, {bits}, b"\\1\\2\\3\\4")
        got = outcome(cam.get_single_frame)
        scripted(2, 1, 8, b"\\5\\6")
        print(json.dumps({{"got": got, "next": outcome(cam.get_single_frame)}}))
        """
    )
    assert result["got"]["class"] == "PanicException"
    assert result["got"]["text"] == "capacity overflow"
    assert result["next"] == {"value": [[5, 6]]}


# Our choice where the text leaves it open: a buffer that cannot be allocated is MemoryError.
# The address-space limit makes "cannot be allocated" certain whatever memory this machine has.
@needs_address_space_limit
@pytest.mark.parametrize(
    "setup",
    [
        "scripted(16, 16, 8, mem=0xFFFFFFFF)",  # the SDK-sized frame buffer
        "scripted(65536, 65537, 8, b'x' * 16)",  # samples: needs a 64-bit size product
        "scripted(0x80000000, 0x7FFFFFFF, 16, b'x' * 16)",  # just below 2**63 bytes
    ],
)
def test_unallocatable_buffer_is_memory_error(setup):
    result = run(
        f"""
        import numpy
        cam = vexcam.Camera("VXSIM-M8-001")
        scripted(2, 1, 8, b"\\x07\\x08")
        cam.get_single_frame()
        cap_memory()
        {setup}
        got = outcome(cam.get_single_frame)
        vexcam_sim.clear_script("GetVEXCAMSingleFrame")  # unused when the buffer failed
        scripted(2, 1, 8, b"\\x07\\x08")
        print(json.dumps({{"got": got, "next": outcome(cam.get_single_frame)}}))
        """
    )
    assert result["got"]["class"] == "MemoryError", result["got"]
    assert result["next"] == {"value": [[7, 8]]}
