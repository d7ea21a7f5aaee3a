"""Repeated calls, failing ones included, leave no objects and no memory behind."""

import gc
import sys
import weakref

import pytest

import korvane_core as kc

DESCRIPTOR = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class ParamDict(dict):
    pass


class Name(str):
    pass


def exercise(g):
    """Every method of the module, successful and failing calls alike."""
    a = g.add_source("a", {"k": 1.5, "s": "x" * 40})
    b = g.add_op("f", [a, Indexable(a)], ParamDict(p=True))
    g.add_reduction("sum", (a, b), {"axis": 2**70})
    g.add_external(kc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="p"), [b])
    g.add_external(dict(DESCRIPTOR), [b], {"x": -1})
    g.add_source(Name("n"), {Name("k"): Name("v")})  # not cached: recorded from its text each time
    g.add_exchange(range(1))
    g.add_join([a, b], None)
    g.node_count()
    g.outputs()
    blob = g.serialize(outputs=[a, b])
    again = kc.GraphStore.deserialize(blob)
    again.nodes()
    again.to_dot()
    again.to_dot(around=[Indexable(b)], depth=Indexable(1))
    again.stats()
    reduced, _ = again.reduce(maximal_fusion=True)
    reduced.nodes()
    reduced.node_map()
    g.reduction_report(outputs=(b,))
    g.reduce_incremental(outputs=[b])
    reducer = kc.IncrementalReducer()
    reducer.step(g)
    reducer.finalize(g, outputs=[b])
    repr(g), repr(reducer), repr(kc.PayloadDescriptor(**DESCRIPTOR))
    failing = [
        lambda: g.add_op("f", "nope"),
        lambda: g.add_op("f", [a, 10**6]),
        lambda: g.add_op("f", [-1]),
        lambda: g.add_op("f", [a], {"k": object()}),
        lambda: g.add_op("f", [a], {1: 1}),
        lambda: g.add_op("f", [Indexable("no")]),
        lambda: g.add_external({"kind": "k"}, [a]),
        lambda: g.add_external(dict(DESCRIPTOR, version=3), [a]),
        lambda: g.add_source(name=None),
        lambda: g.add_source("x", bogus=1),
        lambda: kc.PayloadDescriptor(kind="k"),
        lambda: kc.GraphStore(1),
        lambda: g.add_source("\ud800"),
        lambda: g.serialize(outputs=[10**6]),
        lambda: kc.GraphStore.deserialize(blob[:-9]),
        lambda: kc.GraphStore.deserialize(bytearray(blob)),
        lambda: g.reduce(maximal_fusion=1),
        lambda: g.to_dot(around=[a, 10**6]),
        lambda: g.to_dot(around=[a], depth=-1),
        lambda: g.to_dot(around=[a], depth="1"),
        lambda: g.reduce(outputs="0"),
        lambda: g.reduction_report(outputs=[10**6]),
        lambda: reducer.step(kc.GraphStore()),
        lambda: reducer.finalize(g, outputs=[-1]),
        lambda: reducer.step(None),
    ]
    for call in failing:
        try:
            call()
        except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
            pass
        else:
            raise AssertionError("expected a failure")


def blocks_after(rounds):
    g = kc.GraphStore()
    for _ in range(rounds):
        exercise(g)
    del g
    gc.collect()
    return sys.getallocatedblocks()


def test_no_python_objects_left_behind():
    # Warm up the interpreter's caches and free lists. They still settle for
    # a while afterwards (up to about 300 blocks between two windows), while a
    # leak of even one object per round shows as 2000 blocks here.
    blocks_after(300)
    before = blocks_after(500)
    after = blocks_after(2500)
    assert after - before < 1000


def test_arguments_are_released():
    g = kc.GraphStore()
    a = g.add_source("a")
    idx = Indexable(a)
    params = ParamDict(k=1)
    desc = kc.PayloadDescriptor(**DESCRIPTOR)
    refs = [weakref.ref(o) for o in (idx, params)]
    g.add_op("f", [idx], params)
    g.add_external(desc, [idx], params)
    with pytest.raises(TypeError):
        g.add_op("f", [idx], {"x": params})
    before = sys.getrefcount(desc)
    for _ in range(100):
        g.add_external(desc, [a])
    assert sys.getrefcount(desc) == before
    del idx, params
    gc.collect()
    assert all(r() is None for r in refs)


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def test_resident_memory_does_not_grow():
    def churn():
        for _ in range(20):
            g = kc.GraphStore()
            root = g.add_source("root")
            for i in range(5000):
                g.add_op("op%d" % (i % 50), [root, i], {"i": i})
            exercise(g)
            del g

    churn()
    start = rss_kib()
    for _ in range(5):
        churn()
    assert rss_kib() - start < 4096
