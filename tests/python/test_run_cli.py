"""`korvane run`: sources from every file kind it reads, its outputs written or summarized, and the
failures it reports in one line."""

import subprocess
import sys

import numpy as np
import pytest

import korvane_core as kc
from korvane import sample


def run(*args, cwd=None):
    done = subprocess.run([sys.executable, "-m", "korvane", "run", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=120)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def demo(tmp_path):
    """The demo pipeline's sum branch, reduced, and its three sources as .npy files."""
    rec = sample.record()
    outputs = [rec.outputs[1], 11]  # the sum and the relu it reads
    reduced, _ = rec.store.reduce(outputs=outputs)
    blob = tmp_path / "demo.kir"
    blob.write_bytes(reduced.serialize())
    rng = np.random.default_rng(0)
    values = {"clicks": rng.random(100), "views": rng.random(100) + 0.5, "weights": rng.standard_normal(100)}
    for name, v in values.items():
        np.save(tmp_path / f"{name}.npy", v)
    return blob, values


def test_outputs_are_written_as_npz_and_equal_the_api(demo, tmp_path):
    blob, values = demo
    import korvane
    want = korvane.execute(kc.GraphStore.deserialize(blob.read_bytes()), values)
    args = [f"--source={n}={tmp_path / n}.npy" for n in values]
    status, out, err = run(blob, *args, "-o", tmp_path / "out.npz")
    assert (status, err) == (0, "") and out == f"wrote 2 outputs to {tmp_path / 'out.npz'}\n"
    with np.load(tmp_path / "out.npz") as got:
        assert sorted(got) == ["node_4", "node_5"]
        assert got["node_5"] == want[0] and (got["node_4"] == want[1]).all()
    for flags in (["--no-fuse"], ["--threads", "3"]):
        status, out, _ = run(blob, *args, *flags)
        assert status == 0
        lines = out.splitlines()
        assert lines[0] == f"node 5: float64 {float(want[0])!r}"
        assert lines[1].startswith("node 4: float64 array of shape (100,): min ")


def test_sources_come_from_npz_csv_and_parquet(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    g = kc.GraphStore()
    a, b, c = (g.add_source(n) for n in "abc")
    s = g.add_op("add", [g.add_op("mul", [a, b]), c])
    g.add_reduction("sum", [s], {"axis": 0})
    blob = tmp_path / "g.kir"
    blob.write_bytes(g.serialize(outputs=[5, 4]))
    np.savez(tmp_path / "many.npz", a=np.arange(3.0).reshape(3, 1), other=np.zeros(2))  # a column beside the frames
    pd.DataFrame({"x": [1.0, 2.0, 3.0]}).to_csv(tmp_path / "b.csv", index=False)
    pd.DataFrame({"x": [10.0, 20.0, 30.0]}).to_parquet(tmp_path / "c.parquet")
    args = [f"--source=a={tmp_path / 'many.npz'}", f"--source=b={tmp_path / 'b.csv'}",
            f"--source=c={tmp_path / 'c.parquet'}"]
    status, out, err = run(blob, *args)
    assert (status, err) == (0, "")
    assert out == "node 5: Series of 1 rows\nnode 4: DataFrame of 3 rows, columns x\n"  # pandas sums per column
    assert run(blob, *args, "-o", tmp_path / "o.npz")[0] == 0
    with np.load(tmp_path / "o.npz") as got:
        assert got["node_5"].tolist() == [0 * 1 + 1 * 2 + 2 * 3 + 60.0]


@pytest.mark.parametrize("make,message", [
    (lambda d: [], "node 0 (source 'clicks'): no value in sources (given: none)"),
    (lambda d: ["--source=clicks=" + str(d / "nope.npy")], "nope.npy: No such file or directory"),
    (lambda d: ["--source=clicks=" + str(d / "x.txt")], "x.txt: cannot read .txt sources"),
    (lambda d: ["--source=clicks=" + str(d / "bad.npy")], "bad.npy: cannot read it: "),
    (lambda d: ["--source=clicks=" + str(d / "two.npz")], "two.npz: holds 2 arrays (p, q) and none named 'clicks'"),
    (lambda d: ["--source", "clicks"], "argument --source: expected NAME=PATH, got 'clicks'"),
    (lambda d: ["--outputs", "77"], "demo.kir: no node with id 77"),
    (lambda d: ["-o", str(d / "out.txt")], "out.txt: outputs are written as .npz"),
    (lambda d: ["--threads", "0"], "demo.kir: threads must be between 1 and 64, not 0"),
])
def test_failures_are_one_line_with_status_2(demo, tmp_path, make, message):
    blob, _ = demo
    (tmp_path / "x.txt").write_text("1")
    (tmp_path / "bad.npy").write_bytes(b"not numpy")
    np.savez(tmp_path / "two.npz", p=np.zeros(1), q=np.zeros(1))
    status, out, err = run(blob, *make(tmp_path))
    assert status == 2 and out == ""
    assert err.startswith("korvane: error: ") and message in err and err.count("\n") == 1


def test_a_value_the_graph_cannot_take_names_the_node(demo, tmp_path):
    blob, values = demo
    np.save(tmp_path / "short.npy", np.zeros(3))
    args = [f"--source={n}={tmp_path / n}.npy" for n in ("clicks", "weights")]
    status, _, err = run(blob, *args, f"--source=views={tmp_path / 'short.npy'}")
    assert status == 2 and err.count("\n") == 1
    assert "operands could not be broadcast" in err and "while running node 3 (stage)" in err


@pytest.mark.parametrize("tty,seconds,shown", [(True, 2.0, True), (True, 0.5, False), (False, 5.0, False)])
def test_a_progress_bar_shows_on_a_terminal_once_a_run_has_taken_a_second(monkeypatch, tty, seconds, shown):
    pytest.importorskip("tqdm")
    import io

    from korvane import run_cli

    class Terminal(io.StringIO):
        def isatty(self):
            return tty

    err = Terminal()
    monkeypatch.setattr(sys, "stderr", err)
    monkeypatch.setenv("COLUMNS", "80")
    clock = iter([0.0, seconds, seconds + 0.1, seconds + 0.2, seconds + 0.3])
    monkeypatch.setattr(run_cli.time, "monotonic", lambda: next(clock))
    progress = run_cli._Progress()
    for done in range(1, 4):
        progress(done, 10)
    progress.close()
    assert ("/10 [" in err.getvalue()) == shown  # tqdm draws at most every 0.1 s: the bar, not its count
