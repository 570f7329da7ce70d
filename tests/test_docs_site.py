# The built site's front page as a new user sees it, in Debian's headless Chromium: a page with
# something on it and the navigation to every part of the site. Runs after `make docs` built
# build/docs/html (which `make docs` does itself); skipped when nothing was built.
import shutil
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
INDEX = ROOT / "build" / "docs" / "html" / "index.html"
sys.path.insert(0, str(ROOT / "docs" / "_tools"))
import chromium  # noqa: E402

pytestmark = [
    pytest.mark.skipif(not INDEX.is_file(), reason="no built site: run make docs"),
    pytest.mark.skipif(shutil.which("chromium") is None, reason="no Chromium here (make docs installs Debian's)"),
]

# The top-level pages: the navigation bar links each of them.
SECTIONS = ["getting-started.html", "guide/index.html", "examples.html", "api/index.html",
            "mmcore.html", "astronomy/index.html", "simulator.html", "vendor-sdk.html",
            "troubleshooting.html", "developer/index.html"]


def test_front_page_is_drawn(tmp_path):
    from PIL import Image

    shot = tmp_path / "front.png"
    chromium.screenshot(INDEX.as_uri(), shot)
    with Image.open(shot) as image:
        grey = image.convert("L")
        assert grey.size == (1280, 900)
        low, high = grey.getextrema()
        # Not blank: text and the frame's picture, dark on the light page.
        assert high - low > 128
        assert sum(grey.histogram()[:128]) > 0.005 * grey.width * grey.height


def test_front_page_has_navigation():
    page = chromium.dom(INDEX.as_uri())
    assert "bd-navbar" in page  # the theme's navigation bar, drawn by the page's scripts
    missing = [s for s in SECTIONS if f'href="{s}"' not in page]
    assert not missing, f"the front page links none of {missing}"
    for section in SECTIONS:
        assert (INDEX.parent / section).is_file()
