"""Recording cost: add_op against a pure-Python hash-consing recorder and a
do-nothing builtin, in the same tracing loop; and memory per recorded node.

Run with the module installed: python bench/record.py [calls]
"""

from __future__ import annotations

import gc
import subprocess
import sys
import time

import korvane_core as kc

SOURCES = 1000
NAMES = ("add", "mul", "neg", "exp", "relu", "sub", "maximum")


class PyRecorder:
    """Hash-consing in pure Python, with the module's semantics: the key
    tells bool, int, float and str apart and holds the inputs in order."""

    def __init__(self):
        self.index = {}
        self.nodes = []

    def add_op(self, name, inputs, params=None):
        n = len(self.nodes)
        for u in inputs:
            if u >= n:
                raise ValueError(f"no node with id {u}")
        items = tuple(sorted((k, type(v).__name__, v) for k, v in params.items())) if params else ()
        key = ("op", name, tuple(inputs), items)
        found = self.index.get(key)
        if found is not None:
            return found
        self.nodes.append(key)
        self.index[key] = n
        return n


def tracing_loop(add_op, calls):
    """`calls` recordings; 40% of them repeat an earlier call."""
    names = NAMES
    for i in range(calls):
        # Two of every five calls re-record the node of an earlier call that
        # recorded a new one (a call i with i % 5 >= 2).
        k = (i * 2654435761) % (i // 5) * 5 + 2 if i % 5 < 2 and i >= 10 else i
        add_op(names[k % 7], [k % SOURCES, (k // SOURCES) % SOURCES], {"axis": k % 4, "scale": 0.5})


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter()
        fn()
        return time.perf_counter() - t
    finally:
        gc.enable()


def bench_calls(calls):
    def run_module():
        g = kc.GraphStore()
        for i in range(SOURCES):
            g.add_source(f"s{i}")
        return g, timed(lambda: tracing_loop(g.add_op, calls))

    def run_python():
        r = PyRecorder()
        for i in range(SOURCES):
            r.nodes.append(("src", i))
        return timed(lambda: tracing_loop(r.add_op, calls))

    g, t_module = run_module()
    t_python = run_python()
    t_builtin = timed(lambda: tracing_loop(slice, calls))
    ns = lambda t: t / calls * 1e9
    print(f"tracing loop, {calls:,} add_op calls ({g.node_count() - SOURCES:,} distinct nodes):")
    print(f"  (a) korvane_core add_op         {ns(t_module):7.1f} ns/call")
    print(f"  (b) pure-Python recorder        {ns(t_python):7.1f} ns/call   (b)/(a) = {t_python / t_module:.1f}x")
    print(f"  (c) do-nothing builtin (slice)  {ns(t_builtin):7.1f} ns/call")
    print(f"  module's own share (a)-(c)      {ns(t_module) - ns(t_builtin):7.1f} ns/call")


MEMORY_SCRIPT = r"""
import gc, sys, korvane_core as kc
def rss():
    with open('/proc/self/status') as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith('VmRSS:'))
n = int(sys.argv[1])
g = kc.GraphStore()
for i in range(1000):
    g.add_source(f"s{i}")
gc.collect()
before = rss()
add = g.add_op
for k in range(n):
    add("add", [k % 1000, (k // 1000) % 1000], {"axis": k % 4, "scale": 0.5})
gc.collect()
print((rss() - before) / (g.node_count() - 1000))
"""


def bench_memory(nodes):
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(nodes)], capture_output=True, text=True, check=True)
    print(f"resident memory per op node (2 inputs, 2 params), {nodes:,} distinct nodes: {float(out.stdout):.1f} bytes")


if __name__ == "__main__":
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    bench_calls(calls)
    bench_memory(calls)
