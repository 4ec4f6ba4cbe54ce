# The module as Python: names old and new, attributes(), the comment's bytes,
# heights in, the errors of files, the result of a run, and help().
import errno
import json
import os
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

import kelvorin
from conftest import EXAMPLES, FIELDS, INFO, PY_NAMES, TOOL, build, phase_map


@pytest.mark.parametrize("old, new", PY_NAMES.items())
def test_old_names_warn_and_reach_the_new(old, new, write_bytes):
    df = kelvorin.read(write_bytes(build(1, phase_map())))
    value = 7 if FIELDS[old][1] in (">h", ">i") else 0.25
    with pytest.warns(DeprecationWarning, match=f"{old}.*{new}"):
        setattr(df, old, value)
    with pytest.warns(DeprecationWarning):
        assert getattr(df, old) == getattr(df, new) == value
    with pytest.warns(DeprecationWarning, match=f"{old}=.*{new}="):
        made = kelvorin.DataFile(8, 8, **{old: value})
    assert getattr(made, new) == value


def test_bad_attribute_values():
    df = kelvorin.DataFile(8, 8)
    for name, value, error in [("intf_scale_factor", 1e39, ValueError), ("time_stamp", 2**31, ValueError),
                               ("phase_res", 1.5, TypeError), ("camera_width", True, TypeError),
                               ("wavelength_in", "1", TypeError), ("comment", b"x", TypeError)]:
        with pytest.raises(error, match=name):
            setattr(df, name, value)
    with pytest.raises(TypeError, match="Width"):
        kelvorin.DataFile(8, 8, Width=3)
    df.wavelength_in = float("inf")  # the file can hold it; check() refuses it


@pytest.mark.skipif(not INFO, reason="kelvorin-info is not part of this build")
def test_attributes_are_kelvorin_infos(write_bytes):
    paths = EXAMPLES + [write_bytes(build(3, phase_map(), comment=b"\xe9t\xc3\xa9"))]
    run = subprocess.run([INFO, "--json", *paths], capture_output=True, check=True)
    for path, entry in zip(paths, json.loads(run.stdout)):
        want = entry["attributes"]
        got = kelvorin.read(path).attributes()
        assert list(got) == list(want)
        for name, value in want.items():
            assert got[name] == (float(np.float32(value)) if isinstance(value, float) else value)


@pytest.mark.parametrize("comment", [b"\xe9t\xc3\xa9 \xff", b"", b"y" * 82])
def test_comment_bytes_survive_a_round_trip(comment, write_bytes, tmp_path):
    df = kelvorin.read(write_bytes(build(1, phase_map(), comment=comment)))
    made = kelvorin.DataFile(64, 48, phase=df.phase)
    made.comment_bytes = bytearray(df.comment_bytes)
    kelvorin.write(tmp_path / "o.dat", made)
    assert (tmp_path / "o.dat").read_bytes()[80:162] == comment.ljust(82, b"\0")
    for bad, error in [(b"y" * 83, ValueError), (b"a\0b", ValueError), ("text", TypeError)]:
        with pytest.raises(error):
            made.comment_bytes = bad


# A count is 2**-19 m (0.5 x 1.0 x 0.5 m / 131072): heights in m are exact.
EXACT = dict(intf_scale_factor=0.5, obliquity_factor=1.0, wavelength_in=0.5, phase_res=2)


def test_set_heights_rounds_as_the_library():
    counts = np.array([[2.5, -2.5, 2.4999, -0.0, 67108863.0, -67108864.0, np.nan,
                        0.49999999999999994]])
    df = kelvorin.DataFile(8, 1, **EXACT)
    df.set_heights(counts * 2.0**-19, "m")
    assert df.phase.tolist() == [[3, -3, 2, 0, 67108863, -67108864, 0x7FFFFFF8, 0]]
    df.set_heights(np.ma.masked_greater(counts * 2.0**-10, 0), "um")
    assert df.phase.tolist()[0][::3] == [0x7FFFFFF8, 0, 0x7FFFFFF8]


@pytest.mark.parametrize("count, where", [(67108863.4, "[0, 1]"), (-67108864.2, "[0, 1]"),
                                          (np.inf, "[0, 1]")])
def test_set_heights_names_the_first_height_it_cannot_store(count, where):
    df = kelvorin.DataFile(2, 1, phase=[[5, 6]], **EXACT)
    with pytest.raises(ValueError, match=rf"\{where}.*-67108864 to 67108863"):
        df.set_heights(np.array([[1.0, count, count]]) * 2.0**-19, "m")
    assert df.phase.tolist() == [[5, 6]]
    with pytest.raises(ValueError, match="no height"):
        kelvorin.DataFile(1, 1, wavelength_in=0.0).set_heights([[1.0]])


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_heights_out_and_in_again(path):
    df = kelvorin.read(path)
    counts, window = df.phase.copy(), df.phase_window
    df.set_heights(df.heights("um"), "um")  # masked where there is no data
    np.testing.assert_array_equal(df.phase, counts)
    assert df.phase_window == window  # a map of the same size stays in place
    df.set_heights(np.ones((2, 3)))
    assert df.phase_window == (0, 0, 3, 2)


def read_as_nobody(path):
    """The classes of kelvorin.read(path)'s error in a process without root's rights."""
    code = "import kelvorin, sys\ntry:\n    kelvorin.read(sys.argv[1])\nexcept Exception as e:\n" \
           "    print(type(e).__mro__)"
    run = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True,
                         user=65534, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    return run.stdout + run.stderr


def test_files_that_cannot_be_opened_or_created_are_oserrors(tmp_path, write_bytes):
    df = kelvorin.read(write_bytes(build(1, phase_map()), "in.dat"))
    (tmp_path / "folder").mkdir()
    cases = [
        (lambda: kelvorin.read(tmp_path / "in.dat" / "x"), NotADirectoryError, errno.ENOTDIR),
        (lambda: kelvorin.write(tmp_path / "folder", df), IsADirectoryError, errno.EISDIR),
        (lambda: kelvorin.write(tmp_path / "in.dat" / "x", df), NotADirectoryError, errno.ENOTDIR),
    ]
    if TOOL:
        cases += [(lambda: kelvorin.rss([tmp_path / "in.dat", tmp_path / "gone.dat"], tmp_path / "o"),
                   FileNotFoundError, errno.ENOENT),
                  (lambda: kelvorin.rss([tmp_path / "in.dat"], tmp_path / "no" / "o"),
                   FileNotFoundError, errno.ENOENT)]
    for call, oserror, number in cases:
        with pytest.raises(oserror) as e:
            call()
        assert isinstance(e.value, kelvorin.Error.OSError) and e.value.errno == number
        assert e.value.filename == e.value.path and os.strerror(number) in str(e.value)
        back = pickle.loads(pickle.dumps(e.value))
        assert (type(back), back.errno, back.path) == (type(e.value), number, e.value.path)
    if os.geteuid() != 0:
        (tmp_path / "in.dat").chmod(0)
        with pytest.raises(PermissionError):
            kelvorin.read(tmp_path / "in.dat")
    elif not os.environ.get("KELVORIN_SANITIZED"):  # the child would lack the sanitizer runtime
        assert "PermissionError" in read_as_nobody(str(tmp_path / "in.dat"))  # root's 0700 tmp


def test_run_result(tmp_path):
    if not TOOL:
        pytest.skip("KELVORIN_EXE names no tool")
    result = kelvorin.rss(EXAMPLES[:2], tmp_path / "o.dat", verbose=True)
    assert isinstance(result, kelvorin.RssResult) and result.budget is None
    assert result.report and "Done" not in result.report
    assert kelvorin.rss(EXAMPLES[:2], tmp_path / "o.dat", overwrite=True).report == ""
    with pytest.raises(TypeError, match="budget=True"):
        kelvorin.rss(EXAMPLES[:2], None)
    # A report names the files as the file system has them.
    name = os.fsencode(tmp_path) + b"/caf\xe9.dat"
    with open(name, "wb") as f:
        f.write(EXAMPLES[0].read_bytes())
    assert os.fsdecode(name) in kelvorin.rss([name], tmp_path / "q.dat", verbose=True).report


def test_help_shows_types():
    functions = [kelvorin.read, kelvorin.write, kelvorin.check, kelvorin.rss,
                 kelvorin.counts_per_fringe, kelvorin.DataFile.__init__,
                 kelvorin.DataFile.heights, kelvorin.DataFile.set_heights,
                 kelvorin.DataFile.attributes]
    for f in functions:
        signature = f.__doc__.splitlines()[0]
        assert "object" not in signature and "->" in signature, signature
    assert "-> kelvorin.DataFile" in kelvorin.read.__doc__
    assert kelvorin.DataFile.__module__ == "kelvorin"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert kelvorin.DataFile(4, 4).attributes()["CameraWidth"] == 4


USE = '''
import numpy as np
import kelvorin

df = kelvorin.read("x.dat")
width: int = df.camera_width
masked = df.heights("nm")
plain = df.heights(masked=False)
assert masked is not None and plain is not None
mask = masked.mask
df.set_heights(np.zeros((2, 2)), "um")
report: str = kelvorin.rss(["a.dat"], "o.dat", verbose=True).report
try:
    kelvorin.write("y.dat", kelvorin.DataFile(4, 4, camera_res=1e-6, phase=[[1]]))
except kelvorin.Error.FileNotFoundError as e:
    number: int | None = e.errno
attributes: dict[str, int | float | str] = df.attributes()
df.comment_bytes = b"x"
budget = kelvorin.budget(["a.dat"], weights=np.ones(1), dominance=True)
share: float = budget.rows[0].share
rows: list[dict[str, object]] = [dict(r._asdict()) for r in budget.rows]
valid: int = budget.combined.valid
window: kelvorin.Window | None = budget.dominance_window
alone = kelvorin.rss(["a.dat"], None, weights=[2.0], budget=True).budget
'''


def test_stubs_type_check(tmp_path, monkeypatch):
    api = pytest.importorskip("mypy.api")
    monkeypatch.setenv("MYPYPATH", os.path.dirname(os.path.dirname(kelvorin.__file__)))
    (tmp_path / "use.py").write_text(USE + "plain.mask\n")  # no mask on a plain array
    out, _, rc = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"), str(tmp_path / "use.py")])
    assert rc == 1 and out.count("error:") == 1 and '"mask"' in out, out
