# Heights against numpy on the raw file, and against kelvorin-info's table.
import struct
import subprocess

import numpy as np
import pytest

import kelvorin
from conftest import EXAMPLES, INFO, build, phase_map


@pytest.mark.parametrize("phase_res, per_fringe", [(0, 4096), (1, 32768), (2, 131072), (9, 131072)])
@pytest.mark.parametrize("unit, scale", [("m", 1.0), ("um", 1e6), ("nm", 1e9)])
def test_heights_from_the_raw_file(phase_res, per_fringe, unit, scale, write_bytes):
    data = build(1, phase_map(), PhaseRes=phase_res, ObliquityFactor=0.75)
    counts = np.frombuffer(data, ">i4", offset=834).reshape(6, 5).astype(np.float64)
    s, l, o = (struct.unpack_from(">f", data, at)[0] for at in (164, 168, 176))
    want = np.where(counts < 0x7FFFFFF8, counts * (s * o * l / per_fringe * scale), np.nan)
    df = kelvorin.read(write_bytes(data))
    got = df.heights(unit, masked=False)
    assert type(got) is np.ndarray and got.dtype == np.float64
    np.testing.assert_allclose(got, want, rtol=1e-15, equal_nan=True)
    np.testing.assert_array_equal(df.valid, counts < 0x7FFFFFF8)
    masked = df.heights(unit)
    np.testing.assert_array_equal(masked.mask, counts >= 0x7FFFFFF8)
    np.testing.assert_array_equal(masked.filled(), got)  # NaN where masked
    assert kelvorin.counts_per_fringe(phase_res) == per_fringe


def test_heights_without_phase_and_bad_unit(write_bytes):
    df = kelvorin.read(write_bytes(build(1, phase_map())))
    with pytest.raises(ValueError):
        df.heights("mm")
    df.phase = None
    assert (df.heights(), df.valid, df.phase_window) == (None, None, None)
    assert kelvorin.INVALID == 0x7FFFFFF8


@pytest.mark.skipif(not INFO, reason="kelvorin-info is not part of this build")
@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_heights_equal_kelvorin_info(path, tmp_path):
    subprocess.run([INFO, "--csv", tmp_path / "h.csv", path], check=True, capture_output=True)
    table = np.loadtxt(tmp_path / "h.csv", delimiter=",", skiprows=1, ndmin=2)
    df = kelvorin.read(path)
    x0, y0, _, _ = df.phase_window
    heights = df.heights("nm", masked=False)
    rows, cols = table[:, 1].astype(int) - y0, table[:, 0].astype(int) - x0
    np.testing.assert_array_equal(heights[rows, cols], table[:, 2])
    assert np.count_nonzero(~np.isnan(heights)) == len(table)
