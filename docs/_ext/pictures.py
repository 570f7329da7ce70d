"""Pictures made while the site builds, into docs/_generated/ (not committed).

The demo's frame and histogram (examples/demo.py, run briefly on the simulated SDK) and the
Alpaca server's setup page after one exposure (docs/_tools/alpaca_setup_page.py, screenshotted
by headless Chromium). Each runs in a child interpreter, the one building the site, so that
the build itself never opens a camera. The heavier pictures come from `make docs-pictures`
into docs/_pictures/, which is committed.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from sphinx.application import Sphinx
from sphinx.errors import ExtensionError

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
GENERATED = DOCS / "_generated"


def _run(*argv: str) -> None:
    done = subprocess.run([sys.executable, *argv], cwd=ROOT, capture_output=True, text=True)
    if done.returncode != 0:
        raise ExtensionError(f"{' '.join(argv)} failed:\n{done.stdout}{done.stderr}")


def make_pictures(app: Sphinx) -> None:
    GENERATED.mkdir(exist_ok=True)
    _run("examples/demo.py", "--seconds", "1", "--out", str(GENERATED))
    _run("docs/_tools/alpaca_setup_page.py", str(GENERATED / "alpaca-setup.png"))


def setup(app: Sphinx) -> dict:
    app.connect("builder-inited", make_pictures)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
