"""The big-graph commands of `korvane` on a traced graph of 1e6 nodes.

Times, in one process and on one blob file: `korvane stats FILE`,
`korvane dot FILE --around ID` (default depth, DOT text to a file),
`korvane inspect FILE` (the first 200 rows) and `korvane inspect FILE --node
ID`, each as the whole command (reading the file included), against reading
the blob (`GraphStore.deserialize` of the file's bytes) and against `nodes()`
on the read store, the view a command would otherwise build its tables from.
Target: stats and dot --around within 3x the deserialize time. Also shows the
module's views the commands call, `stats()` and `to_dot(around=[ID])` on the
read store, alone.

Run with the module and the korvane package importable:
    python bench/cli.py [nodes]
"""

from __future__ import annotations

import contextlib
import gc
import io
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main(nodes: int) -> None:
    sys.path.insert(0, HERE)
    import korvane_core as kc
    from traced import trace

    from korvane import cli

    g = kc.GraphStore()
    outputs = trace(g, nodes)
    data = g.serialize(outputs=outputs)
    del g
    seed = len(outputs) and nodes // 2  # a node in the middle of the graph
    repeat = 3

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.kir")
        with open(path, "wb") as f:
            f.write(data)
        target = os.path.join(tmp, "around.dot")
        store = kc.GraphStore.deserialize(data)

        def command(*args: str) -> None:
            with contextlib.redirect_stdout(io.StringIO()):
                assert cli.main(list(args)) == 0

        figures = {
            "deserialize": best(lambda: kc.GraphStore.deserialize(data), repeat),
            "deser. + nodes()": best(lambda: kc.GraphStore.deserialize(data).nodes(), repeat),
            "stats()": best(store.stats, repeat),
            "to_dot(around)": best(lambda: store.to_dot(around=[seed]), repeat),
            "stats": best(lambda: command("stats", path), repeat),
            "stats --json": best(lambda: command("stats", path, "--json"), repeat),
            "dot --around": best(lambda: command("dot", path, "--around", str(seed), "-o", target), repeat),
            "inspect": best(lambda: command("inspect", path), repeat),
            "inspect --node": best(lambda: command("inspect", path, "--node", str(seed)), repeat),
        }
    base = figures["deserialize"]
    print(f"korvane commands on a traced graph of {nodes:,} nodes ({len(data) / 2**20:.1f} MB blob; best of {repeat})")
    for name, seconds in figures.items():
        print(f"  {name:<16} {seconds * 1e3:>8.1f} ms  {seconds / base:>6.2f}x deserialize")
    print("targets:")
    for name in ("stats", "dot --around"):
        print(f"  {name} / deserialize: {figures[name] / base:.2f}x (target at most 3x)")


if __name__ == "__main__":
    main(int(float(sys.argv[1])) if len(sys.argv) > 1 else 1_000_000)
