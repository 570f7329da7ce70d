# The process's own memory, as the system counts it: importable by the tests and by the child
# interpreters they start (which put this directory on sys.path).
import ctypes
import mmap
import sys


class _MemoryCounters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS
    _fields_ = [("cb", ctypes.c_uint32), ("page_faults", ctypes.c_uint32)] + [
        (name, ctypes.c_size_t)
        for name in (
            "peak_working_set", "working_set", "peak_paged_pool", "paged_pool",
            "peak_nonpaged_pool", "nonpaged_pool", "committed", "peak_committed",
        )
    ]


def _windows_counters():
    counters = _MemoryCounters(cb=ctypes.sizeof(_MemoryCounters))
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.GetCurrentProcess.restype = ctypes.c_void_p
    process = ctypes.c_void_p(kernel32.GetCurrentProcess())
    if not kernel32.K32GetProcessMemoryInfo(process, ctypes.byref(counters), counters.cb):
        raise OSError("GetProcessMemoryInfo failed")
    return counters


def _statm(field):
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[field]) * mmap.PAGESIZE


def mapped_bytes():
    """Virtual size, not resident: a leaked zero-filled buffer may never be touched. Windows
    counts such a buffer in the memory committed to the process."""
    return _windows_counters().committed if sys.platform == "win32" else _statm(0)


def resident_bytes():
    return _windows_counters().working_set if sys.platform == "win32" else _statm(1)
