# Every Python block of README.md and docs/ runs here, in order, one page per test, on the
# simulated SDK; so do the programs in examples/ with short options. An example that no longer
# works fails `make test`.
import contextlib
import os
import subprocess
import sys
from pathlib import Path

import pytest
from sybil import Sybil
from sybil.parsers.myst import PythonCodeBlockParser, SkipParser

ROOT = Path(__file__).resolve().parents[1]
PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])
PAGES = [p for p in PAGES if "_generated" not in p.parts]
# Pages whose blocks talk to an Alpaca server on the port its clients default to.
ALPACA_PAGES = {"alpaca.md"}
ALPACA_PORT = 11111
# What a page's blocks import beyond the test extra; the venvs without it (the sanitizers', the
# oldest NumPy's, Windows') skip the page, as they skip the adapters' own tests.
NEEDS = {"mmcore.md": "pymmcore_plus", "indi.md": "astropy", "alpaca.md": "astropy"}

# Only the pages' ```python blocks (and invisible ones); `<!-- skip: next -->` skips a block.
DOCS = Sybil(parsers=[PythonCodeBlockParser(), SkipParser()])


def has_python(page):
    return any("```python" in line or "invisible-code-block: python" in line
               for line in page.read_text(encoding="utf-8").splitlines())


@contextlib.contextmanager
def alpaca_server():
    """The simulated cameras as Alpaca devices 0 to 3 on loopback, discovery off."""
    import vexcam
    from vexcam_alpaca import AlpacaCamera, Server
    from vexcam_device import Device

    ids = vexcam.scan_cameras()
    server = Server([AlpacaCamera(n, Device(i)) for n, i in enumerate(ids)],
                    host="127.0.0.1", port=ALPACA_PORT, discovery_port=None)
    server.start()
    try:
        yield
    finally:
        server.stop()


@pytest.mark.parametrize(
    "page", [p for p in PAGES if has_python(p)], ids=lambda p: str(p.relative_to(ROOT))
)
def test_page_examples_run(page, sim, tmp_path, monkeypatch, watchdog):
    if page.name in NEEDS:
        pytest.importorskip(NEEDS[page.name])
    watchdog(240)
    monkeypatch.chdir(tmp_path)  # what the examples write lands here
    document = DOCS.parse(page)
    with alpaca_server() if page.name in ALPACA_PAGES else contextlib.nullcontext():
        for example in document:
            try:
                example.evaluate()
            except BaseException as exc:
                where = f"{page.relative_to(ROOT)}, line {example.line}"
                raise AssertionError(f"the example at {where} failed: {exc!r}") from exc


@pytest.mark.parametrize(
    "argv",
    [
        ["demo.py", "--seconds", "0.5", "--out", "{tmp}"],
        ["demo.py", "--camera", "VXSIM-M12-003", "--seconds", "0.2", "--out", "{tmp}"],
        ["live_gain.py", "--camera", "VXSIM-M8-001"],
        ["all_cameras.py", "--exposure-us", "1000"],
    ],
    ids=lambda argv: " ".join(argv[:3]),
)
def test_example_program_runs(argv, tmp_path):
    argv = [str(ROOT / "examples" / argv[0]), *(a.format(tmp=tmp_path) for a in argv[1:])]
    done = subprocess.run([sys.executable, *argv], capture_output=True, text=True, timeout=300,
                          cwd=tmp_path, env={**os.environ, "MPLBACKEND": "Agg"})
    assert done.returncode == 0, done.stdout + done.stderr
    if "demo.py" in argv[0]:
        assert {p.name for p in tmp_path.iterdir()} >= {"frame.png", "histogram.png"}
