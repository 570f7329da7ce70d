# FITS files from the camera layer: what astropy and a FITS verifier read back from them.
import io
import shutil
import subprocess
from datetime import UTC, datetime

import numpy as np
import pytest

from conftest import M8, M16
from vexcam_device import Device

fits = pytest.importorskip("astropy.io.fits", reason="astropy is not installed: pip install 'vexcam[fits]'")
from vexcam_device.fits import fits_bytes, write_fits  # noqa: E402

M12 = "VXSIM-M12-003"
# The simulated cameras' pixel sizes in the default configuration (simulator.toml).
PIXEL_UM = {M8: 3.75, M12: 2.9, M16: 6.5}


def record_of(camera_id, cooler=True, binning=2):
    with Device(camera_id) as device:
        device.set_binning(binning)
        device.set_binned_region(8, 4, 64, 32)
        device.set("exposure", 2500)
        device.set("gain", 12.5)
        device.set("offset", 20)
        device.set("cooler_target", -12.5)
        device.set("cooler", int(cooler))
        device.set("test_pattern", 1)  # the ramp: exact samples
        before = datetime.now(UTC).replace(microsecond=0)
        return device.expose(), before


@pytest.mark.parametrize("camera_id, bitpix, bzero", [(M8, 8, None), (M12, 16, 32768), (M16, 16, 32768)])
def test_header_and_samples_read_back(sim, camera_id, bitpix, bzero):
    record, before = record_of(camera_id)
    with fits.open(io.BytesIO(fits_bytes(record))) as hdul:
        hdul.verify("exception")
        header, data = hdul[0].header, hdul[0].data
        assert header["BITPIX"] == bitpix and header.get("BZERO") == bzero
        assert data.dtype == record.frame.dtype and np.array_equal(data, record.frame)
        # Ramp pattern: sample (i, j) is x + i*bin + y + j*bin, so the first row is the top one.
        assert data[0, 1] - data[0, 0] == 2 and data[1, 0] - data[0, 0] == 2
        assert data[0, 0] == (16 + 8) % 256
        start = datetime.fromisoformat(header["DATE-OBS"]).replace(tzinfo=UTC)
        assert before <= start <= datetime.now(UTC)
        expected = {
            "NAXIS1": 64, "NAXIS2": 32, "EXPTIME": 0.0025, "EXPOSURE": 0.0025,
            "XBINNING": 2, "YBINNING": 2, "XORGSUBF": 8, "YORGSUBF": 4,
            "XPIXSZ": PIXEL_UM[camera_id] * 2, "YPIXSZ": PIXEL_UM[camera_id] * 2,
            "CCD-TEMP": -12.5, "SET-TEMP": -12.5, "GAIN": 12.5, "OFFSET": 20,
            "INSTRUME": camera_id, "IMAGETYP": "Light Frame", "FRAME": "Light",
            "ROWORDER": "TOP-DOWN", "SWCREATE": "vexcam 0.1.0",
        }  # fmt: skip
        assert {key: header.get(key) for key in expected} == pytest.approx(expected)


def test_cooler_off_has_no_setpoint_and_the_frame_type_is_written(sim):
    record, _ = record_of(M8, cooler=False, binning=1)
    header = fits.Header.fromstring(fits_bytes(record, frame_type="dark")[:2880])
    assert "SET-TEMP" not in header and header["CCD-TEMP"] == 25.0  # the sensor, uncooled
    assert (header["IMAGETYP"], header["FRAME"], header["DARKTIME"]) == ("Dark Frame", "Dark", 0.0025)


@pytest.mark.skipif(shutil.which("fitsverify") is None, reason="fitsverify is not installed")
@pytest.mark.parametrize("camera_id", [M8, M16])
def test_fitsverify_finds_no_fault(sim, tmp_path, camera_id):
    record, _ = record_of(camera_id)
    path = tmp_path / "frame.fits"
    write_fits(record, path, frame_type="Flat", extra={"OBSERVER": "vexcam tests"})
    done = subprocess.run(["fitsverify", "-e", str(path)], capture_output=True, text=True)
    assert done.returncode == 0 and "0 warning(s) and 0 error(s)" in done.stdout, done.stdout


def test_extra_keywords_add_and_replace(sim):
    record, _ = record_of(M8)
    extra = {"observer": "me", "FOCUS": (1200, "[steps]"), "INSTRUME": "main camera"}
    header = fits.Header.fromstring(fits_bytes(record, extra=extra)[:2880])
    assert (header["OBSERVER"], header["FOCUS"], header.comments["FOCUS"]) == ("me", 1200, "[steps]")
    assert header["INSTRUME"] == "main camera"


@pytest.mark.parametrize("kwargs, message", [
    ({"frame_type": "Science"}, "frame type 'Science' is not one of Light, Dark, Bias, Flat"),
    ({"extra": {"TOOLONGKEY": 1}},
     "extra keyword 'TOOLONGKEY' is not a FITS keyword (1 to 8 of A-Z, 0-9, _ and -)"),
    ({"extra": {"BZERO": 0}}, "extra keyword BZERO describes the data array and is written by itself"),
    ({"extra": {"SITE": "Zürich"}}, "extra keyword SITE: "),
    ({"extra": {"SEEING": float("nan")}}, "extra keyword SEEING: "),
])  # fmt: skip
def test_bad_arguments_raise_value_error_and_write_nothing(sim, tmp_path, kwargs, message):
    record, _ = record_of(M8)
    path = tmp_path / "frame.fits"
    with pytest.raises(ValueError) as info:
        write_fits(record, path, **kwargs)
    assert str(info.value).startswith(message)  # the last rows end in astropy's own words
    assert not path.exists()


def test_an_existing_file_is_kept_unless_overwrite(sim, tmp_path):
    record, _ = record_of(M8)
    path = tmp_path / "frame.fits"
    path.write_bytes(b"keep")
    with pytest.raises(OSError):
        write_fits(record, path)
    assert path.read_bytes() == b"keep"
    write_fits(record, path, overwrite=True)
    with fits.open(path) as hdul:
        assert np.array_equal(hdul[0].data, record.frame)
