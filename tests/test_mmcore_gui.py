# The live view (python -m vexcam_mmcore.gui) in a real window: `make test-gui` runs this under
# Xvfb. The window goes live, then saves its canvas and the preview layer's data.
import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("napari_micromanager", reason="the gui extra is not installed: make test-gui")
if not os.environ.get("DISPLAY"):
    pytest.skip("no X display: make test-gui runs this under Xvfb", allow_module_level=True)


def test_live_view_shows_the_cameras_frames(tmp_path):
    from PIL import Image

    shot = tmp_path / "live.png"
    done = subprocess.run(
        [sys.executable, "-m", "vexcam_mmcore.gui", "--live", "--quit-after", "4",
         "--screenshot", str(shot)],
        capture_output=True, text=True, timeout=180,
    )  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr
    data = np.load(f"{shot}.npy")
    assert data.shape == (960, 1280) and data.dtype == np.uint8  # VXSIM-M8-001's whole sensor
    grey = np.asarray(Image.open(shot).convert("L"), dtype=float)
    # The canvas shows the image where it differs from the empty background; compare that part
    # with the layer's data, sampled at the same places.
    rows, cols = np.nonzero(np.abs(grey - grey[0, 0]) > 8)
    top, bottom, left, right = rows.min(), rows.max() + 1, cols.min(), cols.max() + 1
    shown = grey[top:bottom, left:right]
    assert abs(shown.shape[1] / shown.shape[0] - 1280 / 960) < 0.05  # the frame's proportions
    ys = np.linspace(0, 959, shown.shape[0]).round().astype(int)
    xs = np.linspace(0, 1279, shown.shape[1]).round().astype(int)
    sampled = data[np.ix_(ys, xs)].astype(float)
    assert shown.std() > 10  # not blank
    assert np.corrcoef(shown.ravel(), sampled.ravel())[0, 1] > 0.9
