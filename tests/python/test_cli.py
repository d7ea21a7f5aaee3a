"""The korvane command on generated blobs: every subcommand, and the failures it reports."""

import shutil
import subprocess
import sys

import pytest

import korvane_core as kc
from korvane import cli, sample


def run(*args, module="korvane.cli"):
    """Runs the command in a child process; returns (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def test_the_package_runs_as_the_command(blob):
    path, _ = blob
    assert run("inspect", str(path), module="korvane") == run("inspect", str(path))


@pytest.fixture
def blob(tmp_path):
    rec = sample.record()
    path = tmp_path / "sample.kir"
    path.write_bytes(rec.store.serialize(outputs=rec.outputs))
    return path, rec


def test_inspect_lists_every_node_and_a_summary(blob):
    path, rec = blob
    status, out, err = run("inspect", str(path))
    assert status == 0 and err == ""
    lines = out.splitlines()
    assert lines[0].split()[:5] == ["id", "kind", "name", "params", "inputs"]
    assert len(lines) == 1 + rec.store.node_count() + 1
    assert "onnx:sha256:9f2c41d0 [onnxruntime 1.17.1]" in out
    assert lines[-1].startswith(f"{rec.store.node_count()} nodes (") and lines[-1].endswith(f"outputs: {rec.outputs}")
    assert sum("output" in line.split() for line in lines[1:-1]) == len(rec.outputs)


def test_reduce_writes_a_reduced_blob_and_the_report(blob, tmp_path):
    path, rec = blob
    out_path = tmp_path / "reduced.kir"
    status, out, _ = run("reduce", str(path), "--maximal-fusion", "-o", str(out_path))
    assert status == 0
    reduced = kc.GraphStore.deserialize(out_path.read_bytes())
    _, report = rec.store.reduce(outputs=rec.outputs, maximal_fusion=True)
    assert reduced.node_count() == report["reduced_nodes"]
    for key, value in report.items():
        assert any(line.split() == [key, str(value)] for line in out.splitlines()), key

    status, out, _ = run("reduce", str(path), "--outputs", "3", "-o", str(out_path))
    assert status == 0
    assert kc.GraphStore.deserialize(out_path.read_bytes()).node_count() == rec.store.reduction_report(outputs=[3])["reduced_nodes"]
    # Stages print their members, indented under the stage.
    status, out, _ = run("inspect", str(out_path))
    assert "stage" in out and "#0 op div <- input 0, input 1" in out


def test_dot_prints_or_writes_the_graph(blob, tmp_path):
    path, rec = blob
    expected = kc.GraphStore.deserialize(path.read_bytes()).to_dot()
    status, out, _ = run("dot", str(path))
    assert status == 0 and out == expected
    assert out.count("doublecircle") == len(rec.outputs)
    target = tmp_path / "g.dot"
    assert run("dot", str(path), "-o", str(target))[0] == 0
    assert target.read_text() == expected


@pytest.mark.skipif(shutil.which("dot") is None, reason="graphviz is not installed")
def test_dot_renders_svg(blob, tmp_path):
    path, _ = blob
    target = tmp_path / "g.svg"
    status, _, err = run("dot", str(path), "-o", str(target))
    assert status == 0, err
    assert target.read_text().lstrip().startswith(("<?xml", "<svg", "<!DOCTYPE"))


@pytest.mark.parametrize("command", [["inspect"], ["dot"], ["reduce", "-o", "/dev/null"]])
def test_missing_and_damaged_files_fail_cleanly(tmp_path, command):
    missing = tmp_path / "nope.kir"
    status, out, err = run(command[0], str(missing), *command[1:])
    assert (status, out) == (2, "")
    assert err.startswith(f"korvane: error: {missing}: ") and "Traceback" not in err

    damaged = tmp_path / "damaged.kir"
    damaged.write_bytes(b"KIR1\x05\x00\x00\x00\x09")
    status, _, err = run(command[0], str(damaged), *command[1:])
    assert status == 2
    assert err.strip() == f"korvane: error: {damaged}: invalid node tag 9"


def test_bad_outputs_and_render_targets_are_reported(blob, tmp_path):
    path, rec = blob
    status, _, err = run("reduce", str(path), "--outputs", "999", "-o", str(tmp_path / "x.kir"))
    assert status == 2 and "no node with id 999" in err
    status, _, err = run("reduce", str(path), "--outputs", "1,x", "-o", str(tmp_path / "x.kir"))
    assert status == 2 and "comma-separated node ids" in err


def test_every_subcommand_has_help():
    for command in ["demo", "inspect", "dot", "reduce"]:
        status, out, _ = run(command, "--help")
        assert status == 0 and out.startswith("usage: korvane " + command)


def test_demo_end_to_end(tmp_path, capsys):
    assert cli.main(["demo", "--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "hash-consing hits" in out and "incremental" in out
    header = next(line for line in out.splitlines() if line.split() == ["reduce", "maximal", "incremental"])
    assert header
    recorded = kc.GraphStore.deserialize((tmp_path / "sample.kir").read_bytes())
    reduced = kc.GraphStore.deserialize((tmp_path / "reduced.kir").read_bytes())
    assert recorded.node_count() == sample.record().store.node_count()
    assert reduced.node_count() < recorded.node_count()
    assert (tmp_path / "recorded.dot").read_text() == recorded.to_dot()
    if shutil.which("dot"):
        assert (tmp_path / "reduced.svg").exists()
