"""Reads a memcheck XML report and fails on what concerns vexcam.

Usage: valgrind_report.py REPORT.xml

Fails (exit status 1) on any invalid read, write or free and any use of uninitialised memory,
wherever it happens, and on every definite leak that a frame of the extension or of the
simulated SDK allocated. The interpreter leaves blocks behind at exit by design; those are
counted and reported, not failed.
"""

import re
import sys
import xml.etree.ElementTree as ElementTree

OUR_OBJECTS = ("vexcam.cpython", "libvexcam")
LEAK_KINDS = {"Leak_DefinitelyLost"}
IMPORT_FRAME = re.compile(r"_?PyImport_")
QUIET_KINDS = {"Leak_IndirectlyLost", "Leak_PossiblyLost", "Leak_StillReachable"}


def frames(error):
    for frame in error.iter("frame"):
        yield frame.findtext("obj", ""), frame.findtext("fn", "?")


def ours(error):
    """True when a vexcam frame made the allocation, not an import it merely set off.

    The first frame conversion imports NumPy; what that import allocates is the interpreter's.
    """
    for obj, fn in frames(error):
        if any(name in obj for name in OUR_OBJECTS):
            return True
        if IMPORT_FRAME.match(fn):
            return False
    return False


def describe(error):
    kind = error.findtext("kind")
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    stack = "\n".join(f"    {fn}  ({obj})" for obj, fn in list(frames(error))[:12])
    return f"{kind}: {what}\n{stack}"


def main(path):
    errors = ElementTree.parse(path).getroot().findall("error")
    failures, interpreter_leaks = [], 0
    for error in errors:
        kind = error.findtext("kind")
        if kind in LEAK_KINDS:
            if ours(error):
                failures.append(error)
            else:
                interpreter_leaks += 1
        elif kind not in QUIET_KINDS:
            failures.append(error)
    for error in failures:
        print(describe(error), end="\n\n")
    print(
        f"memcheck: {len(failures)} finding(s) concerning vexcam; "
        f"{interpreter_leaks} definite leak record(s) of the interpreter's own at exit"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
