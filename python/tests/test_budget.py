# The uncertainty budget against hand-worked cases and a model worked out
# here in numpy from the files' raw counts and their own attributes.
import json
import math
import os
import subprocess

import numpy as np
import pytest

import kelvorin
from conftest import EXAMPLES, INFO, build

X = 0x7FFFFFF8  # no data
NM = 0.5 * float(np.float32(632.8e-9)) / 32768 * 1e9  # per count of build()'s defaults
FRINGE = {0: 4096.0, 1: 32768.0, 2: 131072.0}  # counts per fringe of a phase resolution


def model(paths, weights=None, phase_res=None):
    """Rows (weight, rms_nm, max_nm, share, dominant, valid), combined, the
    frame's dominance (-1 outside V), the result's squares and V."""
    files = [kelvorin.read(p) for p in paths]
    first = files[0]
    out_res = first.phase_res if phase_res is None else phase_res
    nm = first.intf_scale_factor * first.wavelength_in / FRINGE[out_res] * 1e9
    frame = (first.camera_height, first.camera_width)
    c = np.ones(len(files)) if weights is None else np.asarray(weights, float)
    squares, own = np.zeros((len(files), *frame)), np.zeros((len(files), *frame), bool)
    for i, f in enumerate(files):
        x, y, w, h = f.phase_window
        counts = np.full(frame, X, np.int64)
        counts[y:y + h, x:x + w] = f.phase
        own[i] = counts < X
        metres = f.intf_scale_factor * f.obliquity_factor * f.wavelength_in / FRINGE[f.phase_res]
        squares[i] = np.where(own[i], c[i] * counts * metres / (nm * 1e-9), 0.0) ** 2
    sums = squares.sum(axis=0)
    v = own.all(axis=0) & (np.sqrt(sums) <= 67108863)
    s, top, total = squares[:, v], squares[:, v].argmax(axis=0), squares[:, v].sum()
    rows = [(c[i], math.sqrt(s[i].mean()) * nm, math.sqrt(s[i].max()) * nm,
             s[i].sum() / total if total else 0.0, np.mean(top == i), own[i].sum())
            for i in range(len(files))]
    dominance = np.full(frame, -1)
    dominance[v] = top
    combined = (math.sqrt(sums[v].mean()) * nm, math.sqrt(sums[v].max()) * nm, v.sum())
    return rows, combined, dominance, sums, v


def assert_budget(got, rows, combined, paths):
    assert [r.name for r in got.rows] == [os.fsdecode(p) for p in paths]
    assert [tuple(r)[1:] for r in got.rows] == [pytest.approx(r, rel=1e-9, abs=1e-12) for r in rows]
    assert tuple(got.combined) == pytest.approx(combined, rel=1e-9, abs=1e-12)


HAND = {  # maps (2 x 2 counts, or counts and attributes), weights; rows in counts, combined
    "shares, units": ([np.full((2, 2), 3), (np.full((2, 2), 8), dict(PhaseRes=2, IntfScaleFactor=1.0))],
                      None, [(1, 3, 3, .36, 0, 4), (1, 4, 4, .64, 1, 4)], (5, 5, 4)),
    "tie": ([np.full((2, 2), 3), np.full((2, 2), -3)], None,
            [(1, 3, 3, .5, 1, 4), (1, 3, 3, .5, 0, 4)], (18 ** .5, 18 ** .5, 4)),
    "zero coefficient": ([np.full((2, 2), 3), [[4, 4], [4, X]]], np.array([1.0, 0.0]),
                         [(1, 3, 3, 1, 1, 4), (0, 0, 0, 0, 0, 3)], (3, 3, 3)),
    "invalid in one": ([[[1, 2], [3, X]], np.full((2, 2), 2)], None,
                       [(1, (14 / 3) ** .5, 3, 14 / 26, 2 / 3, 3), (1, 2, 2, 12 / 26, 1 / 3, 4)],
                       ((26 / 3) ** .5, 13 ** .5, 3)),
    "total zero": ([np.zeros((2, 2))] * 2, None,
                   [(1, 0, 0, 0, 1, 4), (1, 0, 0, 0, 0, 4)], (0, 0, 4)),
}


@pytest.mark.parametrize("maps, weights, rows, combined", HAND.values(), ids=HAND.keys())
def test_hand_worked(maps, weights, rows, combined, write_bytes):
    maps = [m if isinstance(m, tuple) else (m, {}) for m in maps]
    paths = [write_bytes(build(1, np.array(m), CameraWidth=2, CameraHeight=2, **a), f"{i}.dat")
             for i, (m, a) in enumerate(maps)]
    rows = [(w, rms * NM, top * NM, share, dom, n) for w, rms, top, share, dom, n in rows]
    combined = (combined[0] * NM, combined[1] * NM, combined[2])
    assert_budget(kelvorin.budget(paths, weights=weights), rows, combined, paths)
    model_rows, model_combined = model(paths, weights)[:2]  # on which the random cases rest
    assert [pytest.approx(r, rel=1e-9, abs=1e-12) for r in rows] == model_rows
    assert pytest.approx(combined, rel=1e-9, abs=1e-12) == model_combined


RANDOM = [(seed, None, 40, 30) for seed in range(10)] + [(10, 70, 24, 16), (11, 3, 320, 240)]


@pytest.mark.parametrize("seed, count, width, height", RANDOM)
def test_random_against_the_model(seed, count, width, height, write_bytes, tmp_path):
    rng = np.random.default_rng(seed)
    paths = []
    for i in range(count or rng.integers(1, 7)):
        x, y = rng.integers(0, width // 4), rng.integers(0, height // 4)
        w, h = rng.integers(width // 2 + 1, width - x + 1), rng.integers(height // 2 + 1, height - y + 1)
        counts = rng.integers(-1, 2, (h, w)) * rng.integers(0, rng.choice([10**3, 10**5, 3 * 10**6]), (h, w))
        counts[rng.random((h, w)) < (0.1 if count is None else 0.002)] = X + rng.integers(0, 8)
        attrs = dict(PhaseRes=int(rng.integers(0, 3)), IntfScaleFactor=rng.choice([0.5, 1.0, 0.25]),
                     WavelengthIn=rng.choice([632.8e-9, 532e-9]), ObliquityFactor=rng.choice([1.0, 1.25]))
        paths.append(write_bytes(build(int(rng.integers(1, 4)), counts, (x, y), seed=i, CameraWidth=width,
                                       CameraHeight=height, **attrs), f"{i}.dat"))
    weights = None if seed % 3 == 0 else rng.choice([0.0, 0.5, 1.0, 2.0, 3.3], len(paths))
    phase_res = None if seed % 2 else int(rng.integers(0, 3))
    rows, combined, dominance, sums, v = model(paths, weights, phase_res)
    got = kelvorin.rss(paths, tmp_path / "out.dat", phase_res=phase_res, weights=weights, budget=True,
                       dominance=True).budget
    assert_budget(got, rows, combined, paths)
    x, y, w, h = got.dominance_window
    assert np.array_equal(got.dominance, dominance[y:y + h, x:x + w]) and (dominance[v] >= 0).all()
    assert got == kelvorin.budget(paths, phase_res=phase_res, weights=weights, dominance=True)
    # The output holds the coefficients' result, rounded, on V alone.
    out = kelvorin.read(tmp_path / "out.dat")
    assert out.phase_window == got.dominance_window and np.array_equal(out.valid, got.dominance >= 0)
    assert np.abs(out.phase[out.valid] - np.sqrt(sums[y:y + h, x:x + w][out.valid])).max() <= 0.5 + 1e-6


def test_unit_coefficients_change_no_byte(tmp_path):
    kelvorin.rss(EXAMPLES, tmp_path / "plain.dat", phase_res="Normal")
    result = kelvorin.rss(EXAMPLES, tmp_path / "ones.dat", phase_res="Normal", weights=[1] * 3, budget=True)
    assert (tmp_path / "ones.dat").read_bytes() == (tmp_path / "plain.dat").read_bytes()
    assert result.budget == kelvorin.budget(EXAMPLES, phase_res="Normal")


@pytest.mark.skipif(not INFO, reason="KELVORIN_INFO_EXE names no kelvorin-info")
def test_same_budget_as_kelvorin_info():
    # Two callers of the one library: the figures agree to the bit.
    shown = json.loads(subprocess.run([INFO, "--budget", "--json", "--weights", "1,0.5,2", *map(str, EXAMPLES)],
                                      check=True, capture_output=True, text=True).stdout)
    got = kelvorin.budget(EXAMPLES, weights=[1, 0.5, 2])
    assert [dict(r._asdict(), name=str(r.name)) for r in got.rows] == shown["inputs"]
    assert got.combined._asdict() == shown["combined"]


def test_budget_alone_writes_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    got = kelvorin.rss([os.fsencode(e) for e in EXAMPLES], None, budget=True, verbose=True)
    with pytest.raises(TypeError, match="budget=True"):
        kelvorin.rss(EXAMPLES, "out.dat", dominance=True)
    assert os.listdir(tmp_path) == [] and got.report
    assert [r.name for r in got.budget.rows] == list(map(str, EXAMPLES))


@pytest.mark.parametrize("weights", [[1], [1, 1, 1, 1], [1, -1, 1], [1, math.nan, 1], [1, math.inf, 1],
                                     [1, "2", 1], [True, 1, 1], [1, None, 1], [[1], 1, 1], 3.0, "123"])
def test_bad_weights_touch_nothing(weights, tmp_path):
    out = tmp_path / "kept.dat"
    out.write_bytes(b"keep")
    with pytest.raises(ValueError, match="weights"):
        kelvorin.rss(EXAMPLES, out, overwrite=True, weights=weights, budget=True)
    assert out.read_bytes() == b"keep" and os.listdir(tmp_path) == ["kept.dat"]

