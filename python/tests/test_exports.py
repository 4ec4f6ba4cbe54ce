# kelvorin-info's float TIFF and Gwyddion Simple Field files, read by other
# programs' readers (libtiff's tools, GDAL, tifffile) and by a GSF reader
# written here from the format's description, against the module's heights
# and kelvorin-info's own table.
import codecs
import re
import shutil
import struct
import subprocess

import numpy as np
import pytest

import kelvorin
from conftest import EXAMPLES, INFO, build

pytestmark = pytest.mark.skipif(not INFO, reason="kelvorin-info is not part of this build")
tifffile = pytest.importorskip("tifffile", reason="no tifffile (python3-tifffile)")

codecs.register_error("latin1", lambda e: (e.object[e.start:e.start + 1].decode("latin-1"),
                                           e.start + 1))
COMMENT = b" a=b\\c \xb5m \xc2\xb5m \xf0\x9f\x99\x82\x01 "  # kept bytes, Latin-1, UTF-8, control
NAN = float("nan")


def text_of(raw):
    """The characters of a file's text: UTF-8 where well-formed, else Latin-1."""
    return raw.decode("utf-8", errors="latin1")


def big_map(h, w):
    rng = np.random.default_rng(7)
    p = rng.integers(-40000, 40000, size=(h, w), dtype=np.int32)
    p[rng.random((h, w)) < 0.01] = 0x7FFFFFF8
    return p


def small_map():
    p = np.arange(-600, 600, 10, dtype=np.int32).reshape(8, 15) * 997
    p[2, 3] = p[7, 14] = 0x7FFFFFF8
    return p


# name, phase, window origin, attributes, expected pixel size (x, y) in metres or None
CASES = [
    ("square.dat", small_map(), (9, 4), dict(CameraRes=5.5e-6, PhaseRes=2), (5.5e-6, 5.5e-6)),
    ("pixel size.dat", small_map(), (0, 0),
     dict(CameraRes=0.0, PixelWidth=4e-6, PixelHeight=9e-6, PhaseRes=0, ObliquityFactor=0.87),
     (4e-6, 9e-6)),
    ("no scale.dat", small_map(), (3, 30),
     dict(CameraRes=NAN, PixelWidth=0.0, PixelHeight=NAN, PhaseRes=1), None),
    # Large: strips on two threads, Huffman-coded.
    ("large.dat", big_map(1030, 1100), (5, 6),
     dict(CameraRes=2.2e-6, CameraWidth=1200, CameraHeight=1100), (2.2e-6, 2.2e-6)),
]


def export(tmp_path, name, phase, at, attrs):
    path = tmp_path / name
    path.write_bytes(build(2, phase, phase_at=at, comment=COMMENT, **attrs))
    out = {k: tmp_path / ("out." + k) for k in ("tif", "gsf", "csv")}
    r = subprocess.run([INFO, "--tiff", out["tif"], "--gsf", out["gsf"], "--csv", out["csv"], path],
                       capture_output=True)
    assert r.returncode == 0, r.stderr
    return path, out


def java_unescape(text):
    """ImageJ reads its description as Java properties: \\uXXXX escapes, UTF-16 pairs."""
    units = re.sub(r"\\u([0-9A-Fa-f]{4})", lambda m: chr(int(m.group(1), 16)), text)
    return units.encode("utf-16", "surrogatepass").decode("utf-16")


def read_gsf(path):
    """A Gwyddion Simple Field file as its description lays it out: the magic
    line, "name = value" lines, NUL padding to the next multiple of 4
    strictly after the header, then XRes x YRes little-endian floats."""
    data = path.read_bytes()
    end = data.index(b"\0")
    header = data[:end].decode("utf-8")
    lines = header.split("\n")
    assert lines[0] == "Gwyddion Simple Field 1.0" and lines[-1] == "" and "\r" not in header
    keys = {}
    for line in lines[1:-1]:
        name, value = line.split("=", 1)
        assert name.strip() not in keys
        keys[name.strip()] = value.strip()
    start = (end // 4 + 1) * 4
    assert set(data[end:start]) == {0} and 1 <= start - end <= 4
    xres, yres = int(keys["XRes"]), int(keys["YRes"])
    assert xres > 0 and yres > 0 and len(data) == start + 4 * xres * yres
    return keys, np.frombuffer(data, "<f4", offset=start).reshape(yres, xres)


@pytest.mark.parametrize("name, phase, at, attrs, pixel", CASES, ids=[c[0] for c in CASES])
def test_tiff_and_gsf_read_back(name, phase, at, attrs, pixel, tmp_path):
    path, out = export(tmp_path, name, phase, at, attrs)
    df = kelvorin.read(path)
    want_nm = df.heights("nm").astype(np.float32)
    no_data = ~df.valid
    assert no_data.any() and not no_data.all()

    # tifffile: values, NaN exactly without data, tags and the ImageJ description.
    with tifffile.TiffFile(out["tif"]) as tif:
        page = tif.pages[0]
        nm = page.asarray()
        tags = {t.name: t.value for t in page.tags.values()}
        ij = tif.imagej_metadata
        assert tif.byteorder == "<" and len(tif.pages) == 1
    assert nm.dtype == np.float32 and nm.shape == phase.shape
    np.testing.assert_array_equal(nm, want_nm)
    np.testing.assert_array_equal(np.isnan(nm), no_data)
    assert (tags["SampleFormat"], tags["BitsPerSample"], tags["Compression"]) == (3, 32, 8)
    assert tags.get("Predictor", 1) == 1
    assert (ij["xorigin"], ij["yorigin"], ij["vunit"]) == (-at[0], -at[1], "nm")
    assert java_unescape(ij["comment"]) == '"' + text_of(COMMENT) + '"'
    assert java_unescape(ij["Title"]) == '"' + name + '"'
    assert (ij["WindowX"], ij["WindowY"], ij["TimeStamp"]) == (at[0], at[1], df.time_stamp)
    assert np.float32(ij["CameraRes"]) == np.float32(df.camera_res) or np.isnan(df.camera_res)
    if pixel is None:
        assert "unit" not in ij and "XResolution" not in tags and "ResolutionUnit" not in tags
    else:
        # Pixels per cm: the pixel size read back as the file's float.
        assert ij["unit"] == "um" and tags["ResolutionUnit"] == 3
        for tag, size in zip(("XResolution", "YResolution"), pixel):
            num, den = tags[tag]
            assert np.float32(0.01 * den / num) == np.float32(size)

    # kelvorin-info's table, as float32.
    table = np.loadtxt(out["csv"], delimiter=",", skiprows=1, ndmin=2)
    rows, cols = table[:, 1].astype(int) - at[1], table[:, 0].astype(int) - at[0]
    np.testing.assert_array_equal(nm[rows, cols], table[:, 2].astype(np.float32))
    assert len(table) == np.count_nonzero(~np.isnan(nm))

    # The GSF file: heights in metres, lateral size and offset, attributes.
    keys, metres = read_gsf(out["gsf"])
    np.testing.assert_array_equal(metres, df.heights("m").astype(np.float32))
    assert (keys["ZUnits"], keys["Title"], keys["comment"]) == (
        "m", name, text_of(COMMENT.replace(b"\x01", b"\xef\xbf\xbd")).strip())
    size = pixel if pixel is not None else (1, 1)  # without a scale: in pixels, no unit
    assert keys.get("XYUnits") == ("m" if pixel is not None else None)
    h, w = phase.shape
    for key, want in (("XReal", w * size[0]), ("YReal", h * size[1]),
                      ("XOffset", at[0] * size[0]), ("YOffset", at[1] * size[1])):
        assert float(keys[key]) == pytest.approx(want, rel=1e-7, abs=0), key
    assert (int(keys["WindowX"]), int(keys["PhaseRes"])) == (at[0], df.phase_res)


def test_gdal_and_libtiff_read_the_tiff(tmp_path):
    gdal = pytest.importorskip("osgeo.gdal", reason="no GDAL (python3-gdal)")
    name, phase, at, attrs, pixel = CASES[0]
    path, out = export(tmp_path, name, phase, at, attrs)
    ds = gdal.Open(str(out["tif"]))
    band = ds.GetRasterBand(1)
    values = band.ReadAsArray()
    assert values.dtype == np.float32 and np.isnan(band.GetNoDataValue())
    np.testing.assert_array_equal(values, kelvorin.read(path).heights("nm").astype(np.float32))
    assert ds.GetMetadataItem("TIFFTAG_RESOLUTIONUNIT") == "3 (pixels/cm)"
    if shutil.which("gdalinfo") is not None:
        report = subprocess.run(["gdalinfo", out["tif"]], capture_output=True, text=True,
                                check=True).stdout
        assert "Type=Float32" in report and "NoData Value=nan" in report
    if shutil.which("tiffdump") is None or shutil.which("tiffinfo") is None:
        pytest.skip("no tiffinfo/tiffdump (libtiff-tools)")
    dump = subprocess.run(["tiffdump", out["tif"]], capture_output=True, text=True, check=True)
    for tag in ("Compression (259) SHORT (3) 1<8>", "SampleFormat (339) SHORT (3) 1<3>",
                "BitsPerSample (258) SHORT (3) 1<32>", "ResolutionUnit (296) SHORT (3) 1<3>",
                "Magic: 0x4949 <little-endian>", "DateTime (306) ASCII (2) 20<2025:06:15 15:06:40"):
        assert tag in dump.stdout, tag
    info = subprocess.run(["tiffinfo", out["tif"]], capture_output=True, text=True, check=True)
    # libtiff warns of nothing but GDAL's tag, which it does not know.
    assert [line for line in info.stderr.splitlines() if "42113" not in line] == []
    assert "Resolution: 1818.18, 1818.18 pixels/cm" in info.stdout
    assert "ImageJ=1.11a\nunit=um\nxorigin=-9\nyorigin=-4\n" in info.stdout


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_examples_export_their_heights(path, tmp_path):
    subprocess.run([INFO, "--tiff", tmp_path / "e.tif", "--gsf", tmp_path / "e.gsf", path],
                   check=True, capture_output=True)
    want = kelvorin.read(path).heights("m").astype(np.float32)
    np.testing.assert_array_equal(read_gsf(tmp_path / "e.gsf")[1], want)
    nm = tifffile.imread(tmp_path / "e.tif")
    np.testing.assert_array_equal(np.isnan(nm), np.isnan(want))
