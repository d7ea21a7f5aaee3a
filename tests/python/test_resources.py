"""What hostile sizes and long-running processes cost: paths linear in the number of outputs, failures
of memory that leave stores and reducers in service, and memory that stays flat over many reductions."""

import subprocess
import sys
import textwrap

import pytest

import korvane_core as kc

# --- linear paths -------------------------------------------------------------------------------------------------
# Marking an output once looked through every mark made before, so each path below cost n^2 in the number of
# outputs: at this size that is hours, against a second or two now.
N_OUTPUTS = 400_000


@pytest.fixture(scope="module")
def many_sources():
    g = kc.GraphStore()
    ids = [g.add_source("s", {"i": i}) for i in range(N_OUTPUTS)]
    return g, ids


def test_every_source_an_output_round_trips_with_its_marks_in_first_occurrence_order(many_sources):
    g, ids = many_sources
    wanted = ids[::-1] + ids  # every id twice: the second occurrence adds no mark
    again = kc.GraphStore.deserialize(g.serialize(outputs=wanted))
    assert again.outputs() == ids[::-1]


@pytest.mark.parametrize("how", ["reduce", "incremental"])
def test_reductions_with_every_source_an_output_keep_one_mark_per_node(many_sources, how):
    g, ids = many_sources
    wanted = ids + ids[:1000]
    if how == "reduce":
        reduced, report = g.reduce(outputs=wanted)
    else:
        reduced, report = kc.IncrementalReducer().finalize(g, outputs=wanted)
    assert report["reduced_nodes"] == N_OUTPUTS
    assert reduced.outputs() == list(range(N_OUTPUTS))


def test_a_node_of_many_inputs_whose_inputs_all_merge_reduces():
    # Every input of the wide node loses a merge (x + 0.0 is x): each merge queued the wide node again.
    g = kc.GraphStore()
    xs = [g.add_source("x", {"i": i}) for i in range(100_000)]
    wide = g.add_op("concat", [g.add_op("add", [x], {"scalar": 0.0, "side": "r"}) for x in xs])
    reduced, report = g.reduce(outputs=[wide, g.add_op("concat", xs)])
    assert report["canonical_nodes"] == len(xs) + 1
    assert len(reduced.outputs()) == 1  # both outputs are one node


# --- failure isolation and memory flatness, each in a process of its own -----------------------------------------


def run_script(body: str) -> str:
    script = "import korvane_core as kc\n" + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_running_out_of_memory_in_a_read_leaves_store_and_reducer_in_service():
    # The address space is capped a few megabytes above what the process uses, so every call below fails on
    # one of its large allocations, some while the store's lock is held; afterwards the cap is lifted.
    out = run_script(
        """
        import ctypes
        import resource
        libc = ctypes.CDLL(None)
        g = kc.GraphStore()
        last = g.add_source("s" * 100)
        for i in range(200_000):
            last = g.add_op("op%d_" % i + "x" * 100, [last], {"i": i})
        blob = g.serialize(outputs=[last])
        reducer = kc.IncrementalReducer()
        reducer.step(g)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)

        def used():
            libc.malloc_trim(0)  # what was freed goes back, so the cap counts only what is in use
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        calls = {
            "nodes": g.nodes,
            "serialize": lambda: g.serialize(outputs=[last]),
            "to_dot": g.to_dot,
            "reduce": lambda: g.reduce(outputs=[last]),
            "finalize": lambda: reducer.finalize(g, outputs=[last]),
        }
        for name, call in calls.items():
            resource.setrlimit(resource.RLIMIT_AS, (used() + (4 << 20), hard))
            try:
                call()
                outcome = "no failure"
            except MemoryError:
                outcome = "MemoryError"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            assert g.node_count() == 200_001 and repr(g) and g.outputs() == []
            assert reducer.watermark() == 200_001
            print(name, outcome)
        # Unchanged and in service (checked after all calls, so that the cap is not spent on the checks).
        assert g.serialize(outputs=[last]) == blob
        assert reducer.finalize(g, outputs=[last])[0].serialize() == g.reduce(outputs=[last])[0].serialize()
        g.add_source("after")
        assert g.node_count() == 200_002
        """
    )
    assert out.split("\n")[:-1] == [f"{name} MemoryError" for name in ("nodes", "serialize", "to_dot", "reduce", "finalize")]


def test_many_reductions_with_distinct_constants_keep_memory_flat():
    # A reduction's node symbols used to stay in a table for the life of the process: 80 bytes or so per
    # distinct constant, 16 MB over these 200k reductions.
    out = run_script(
        """
        def rss():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))

        def reduce_many(first, count):
            for i in range(first, first + count):
                g = kc.GraphStore()
                g.reduce(outputs=[g.add_op("mul", [g.add_source("x", {"v": i + 0.5})], {"scalar": float(i)})])

        reduce_many(0, 20_000)
        before = rss()
        reduce_many(20_000, 200_000)
        print(rss() - before)
        """
    )
    assert int(out) <= 2 << 20
