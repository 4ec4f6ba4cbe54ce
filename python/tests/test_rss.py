# kelvorin.rss against the kelvorin tool: output bytes, report and messages.
import shutil
import subprocess
import threading

import pytest

import kelvorin
from conftest import EXAMPLES, TOOL, build, phase_map

pytestmark = pytest.mark.skipif(not TOOL, reason="KELVORIN_EXE names no tool")


def tool(args, cwd):
    """Exit status, standard output and the messages of a tool run."""
    run = subprocess.run([TOOL, *args], cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    messages = run.stderr.split("Kelvorin\nERROR: ")[1:]
    assert run.stderr == "".join("Kelvorin\nERROR: " + m for m in messages)
    return run.returncode, run.stdout, [m[:-1] for m in messages]


@pytest.fixture
def inputs(tmp_path, write_bytes):
    for e in EXAMPLES:
        shutil.copy(e, tmp_path / e.name)
    write_bytes(build(1, phase_map(), (3, 2)), "small.dat")
    write_bytes(build(1, phase_map(), CameraWidth=63), "narrow.dat")
    write_bytes(build(1, phase_map())[:900], "cut.dat")
    write_bytes(build(1, None), "empty.dat")
    write_bytes(build(1, phase_map(), WavelengthIn=-1.0), "wavelength.dat")
    write_bytes(b"not a data file at all", "text.dat")
    return tmp_path


EXAMPLE_NAMES = [e.name for e in EXAMPLES]
CASES = [
    (EXAMPLE_NAMES, None),
    (EXAMPLE_NAMES, "super"),
    (EXAMPLE_NAMES[:1], 0),
    (["small.dat", "small.dat"], "High"),
    (["small.dat", "missing.dat"], None),
    (["small.dat", "cut.dat"], None),
    (["small.dat", "text.dat"], None),
    (["small.dat", "narrow.dat"], None),
    (["empty.dat"], None),
    (["wavelength.dat"], None),
    (["small.dat", "out.dat"], None),
]
FLAG = {None: [], 0: ["-PhaseRes", "Normal"], "super": ["-PhaseRes", "SUPER"], "High": ["-PhaseRes", "High"]}


@pytest.mark.parametrize("names, phase_res", CASES)
@pytest.mark.parametrize("verbose", [False, True])
def test_rss_answers_as_the_tool(names, phase_res, verbose, inputs, monkeypatch):
    monkeypatch.chdir(inputs)
    if "out.dat" in names:  # the output is one of the inputs
        shutil.copy("small.dat", "out.dat")
    before = {p.name: p.read_bytes() for p in inputs.iterdir() if p.name != "out.dat"}
    rc, stdout, messages = tool((["-Verbose"] if verbose else []) + FLAG[phase_res] +
                                ["-Overwrite", "-RssOut", "out.dat", *names], inputs)
    want = (inputs / "out.dat").read_bytes() if (inputs / "out.dat").exists() else None
    if "out.dat" not in names:
        (inputs / "out.dat").unlink(missing_ok=True)
    try:
        result = kelvorin.rss(names, "out.dat", phase_res=phase_res, verbose=verbose, overwrite=True)
        # The tool's closing "Done" is its own, not the run's.
        assert (rc, result.report + "Done\n" * verbose, result.budget) == (0, stdout, None)
    except kelvorin.Error as e:
        assert rc == 1 and e.messages == messages and e.message == messages[0]
        assert e.code.startswith(("ERR_", "RSS_ERR_"))
    got = (inputs / "out.dat").read_bytes() if (inputs / "out.dat").exists() else None
    assert got == want
    assert before == {p.name: p.read_bytes() for p in inputs.iterdir() if p.name != "out.dat"}


def test_existing_output_and_bad_arguments(inputs):
    out = inputs / "kept.dat"
    out.write_bytes(b"keep")
    with pytest.raises(FileExistsError):
        kelvorin.rss([inputs / "small.dat"], out)
    assert out.read_bytes() == b"keep"
    for kwargs in [dict(phase_res=3), dict(phase_res="Ultra"), dict(phase_res=True)]:
        with pytest.raises(ValueError):
            kelvorin.rss([inputs / "small.dat"], inputs / "o.dat", **kwargs)
    with pytest.raises(TypeError):
        kelvorin.rss(str(inputs / "small.dat"), inputs / "o.dat")
    with pytest.raises(kelvorin.Error) as e:
        kelvorin.rss([], inputs / "o.dat")
    assert e.value.messages == ["No input files specified"]
    assert not (inputs / "o.dat").exists()


def test_two_threads_give_the_bytes_of_two_runs_in_turn(inputs, write_bytes):
    big = [write_bytes(build(1, phase_map(400, 600, seed=s), CameraWidth=600, CameraHeight=400),
                       f"big{s}.dat") for s in range(4)]
    jobs = [(EXAMPLES * 3, inputs / "a.dat"), (big, inputs / "b.dat")]
    alone = []
    for names, out in jobs:
        alone.append((kelvorin.rss(names, out, verbose=True), out.read_bytes()))
        out.unlink()
    for _ in range(3):
        results = [None, None]

        def run(i):
            names, out = jobs[i]
            results[i] = (kelvorin.rss(names, out, verbose=True, overwrite=True), out.read_bytes())
        threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == alone
    assert kelvorin.read(inputs / "b.dat").valid.sum() == 600 * 400 - 2  # the corners
