"""Debian's Chromium, headless: a page's screenshot or its DOM after scripts ran."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path


def _chromium(*args: str) -> subprocess.CompletedProcess[str]:
    browser = shutil.which("chromium")
    if browser is None:
        raise RuntimeError("chromium is not installed (make browser installs Debian's)")
    # A preloaded sanitizer runtime or the like has no business inside the browser.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             f"--user-data-dir={profile}", "--no-first-run", *args],
            env=env, capture_output=True, text=True, timeout=120, check=True,
        )


def screenshot(url: str, out: Path, width: int = 1280, height: int = 900) -> None:
    out.unlink(missing_ok=True)
    _chromium(f"--screenshot={out}", f"--window-size={width},{height}", url)
    if not out.is_file():
        raise RuntimeError(f"chromium made no screenshot of {url}")


def dom(url: str) -> str:
    return _chromium("--dump-dom", url).stdout
