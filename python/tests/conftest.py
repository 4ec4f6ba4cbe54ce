# Shared pieces of the module's tests: data files assembled byte by byte
# (big-endian, as the format lays them out), and the built programs.
import os
import random
import struct
from pathlib import Path

import numpy as np
import pytest

# A sanitizer runtime preloaded into the interpreter is not for the programs
# it starts (they carry their own).
os.environ.pop("LD_PRELOAD", None)

MAGIC = {1: 0x881B036F, 2: 0x881B0370, 3: 0x881B0371}
SOURCE = Path(os.environ.get("KELVORIN_SOURCE_DIR", Path(__file__).resolve().parents[2]))
EXAMPLES = sorted((SOURCE / "examples").glob("*.dat"))
TOOL = os.environ.get("KELVORIN_EXE")
INFO = os.environ.get("KELVORIN_INFO_EXE")

# Offsets of the named attributes in the file, and their struct formats.
FIELDS = {
    "TimeStamp": (76, ">i"), "IntfScaleFactor": (164, ">f"), "WavelengthIn": (168, ">f"),
    "ObliquityFactor": (176, ">f"), "CameraRes": (184, ">f"), "PhaseRes": (218, ">h"),
    "CameraWidth": (234, ">h"), "CameraHeight": (236, ">h"), "PixelWidth": (486, ">f"),
    "PixelHeight": (490, ">f"),
}
# The attributes' Python names.
PY_NAMES = {
    "TimeStamp": "time_stamp", "IntfScaleFactor": "intf_scale_factor",
    "WavelengthIn": "wavelength_in", "ObliquityFactor": "obliquity_factor",
    "CameraRes": "camera_res", "PhaseRes": "phase_res", "CameraWidth": "camera_width",
    "CameraHeight": "camera_height", "PixelWidth": "pixel_width", "PixelHeight": "pixel_height",
}


def build(fmt=1, phase=None, phase_at=(0, 0), intensity=None, intensity_at=(0, 0), seed=1,
          comment=b"a map", **attrs):
    """The bytes of a data file. Unnamed header fields hold random bytes (the
    writer must carry them); `phase` is a 2-D, `intensity` a 3-D array."""
    rng = random.Random(seed)
    b = bytearray(rng.randrange(256) for _ in range(4096 if fmt == 3 else 834))
    struct.pack_into(">IHI", b, 0, MAGIC[fmt], fmt, len(b))
    b[48:76] = bytes(28)
    values = dict(TimeStamp=1750000000, IntfScaleFactor=0.5, WavelengthIn=632.8e-9,
                  ObliquityFactor=1.0, CameraRes=5.5e-6, PhaseRes=2 if fmt == 2 else 1,
                  CameraWidth=64, CameraHeight=48, PixelWidth=5.5e-6, PixelHeight=5.5e-6)
    values.update(attrs)
    for name, value in values.items():
        struct.pack_into(FIELDS[name][1], b, FIELDS[name][0], value)
    b[80:162] = comment.ljust(82, b"\0")
    if fmt == 3:
        b[898:900] = (3).to_bytes(2, "little")  # the record's marker, in machine order
    blocks = b""
    if intensity is not None:
        n, h, w = intensity.shape
        struct.pack_into(">hhhhhHi", b, 48, *intensity_at, w, h, n, 7, intensity.size * 2)
        blocks += intensity.astype(">u2").tobytes()
    if phase is not None:
        h, w = phase.shape
        struct.pack_into(">hhhhi", b, 64, *phase_at, w, h, phase.size * 4)
        blocks += phase.astype(">i4").tobytes()
    return bytes(b) + blocks


def phase_map(h=6, w=5, seed=2):
    rng = np.random.default_rng(seed)
    p = rng.integers(-500000, 500000, size=(h, w), dtype=np.int32)
    p[0, 0] = 0x7FFFFFF8
    p[-1, -1] = 0x7FFFFFFF
    return p


@pytest.fixture
def write_bytes(tmp_path):
    def write(data, name="in.dat"):
        path = tmp_path / name
        path.write_bytes(data)
        return path
    return write


def pytest_runtest_logreport(report):
    """Skipped tests join the list that scripts/test.sh shows at its end."""
    listing = os.environ.get("KELVORIN_SKIPPED")
    if listing and report.skipped:
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr
        with open(listing, "a") as f:
            f.write(f"python_module {report.nodeid}: {reason}\n")
