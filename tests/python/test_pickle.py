"""Stores that travel: pickle over every protocol, copy and deepcopy, the
state a store is rebuilt from (and every malformed one refused whole),
pickling while another thread records, and reduction in a process pool."""

import copy
import multiprocessing
import pickle
import random
import struct
import sys
import threading
from concurrent.futures import ProcessPoolExecutor

import pytest
from hypothesis import HealthCheck, given, settings

import korvane_core as kc
from graphs import COMMUTATIVE, IDENTITIES, programs, record_on_top

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
ABSENT = 0xFFFFFFFF


def view(store):
    # repr keeps NaN parameters comparable; the blob keeps their bits.
    return repr(store.nodes()), store.outputs(), store.node_map(), store.serialize()


def travels(store):
    for protocol in PROTOCOLS:
        assert view(pickle.loads(pickle.dumps(store, protocol))) == view(store)
    assert view(copy.copy(store)) == view(copy.deepcopy(store)) == view(store)


def traced(seed, n=60):
    """A small traced graph with identities and commuted twins; returns (store, outputs)."""
    rng, g = random.Random(seed), kc.GraphStore()
    ids = [g.add_source(f"s{i}", {"days": i}) for i in range(3)]
    for _ in range(n):
        a, b = rng.choice(ids[-6:]), rng.choice(ids)
        name, params = rng.choice(IDENTITIES) if rng.random() < 0.3 else (rng.choice(COMMUTATIVE), None)
        ids.append(g.add_op(name, [a, b] if params is None else [a], params))
        if params is None and rng.random() < 0.3:
            ids.append(g.add_op(name, [b, a]))
    return g, ids[-3:]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs())
def test_recorded_and_reduced_stores_travel_whole(program):
    g = kc.GraphStore()
    ids = program.record(g)
    outputs = [ids[i] for i in program.outputs]
    travels(g)
    for maximal in (False, True):
        reduced, _ = g.reduce(maximal_fusion=maximal, outputs=outputs)
        travels(reduced)
    # Stages of the reduced-from graph land whole: entries on a stage without a member.
    top = kc.GraphStore.deserialize(reduced.serialize())
    travels(top.reduce(outputs=record_on_top(top))[0])


@pytest.mark.parametrize("make", [
    kc.GraphStore,
    lambda: kc.GraphStore.deserialize(traced(1)[0].serialize(outputs=[5, 3, 5])),  # stored marks
    lambda: traced(2)[0].reduce(outputs=[])[0],  # no nodes, a node map of dead entries
    lambda: traced(3)[0].reduce(outputs=traced(3)[1], maximal_fusion=True)[0],
])
def test_special_stores_travel_whole(make):
    travels(make())


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))])
def test_a_copy_is_independent(clone):
    g, _ = traced(4)
    c = clone(g)
    before = view(g)
    c.add_source("only in the copy")
    assert view(g) == before and c.node_count() == g.node_count() + 1
    g.add_source("only in the original")
    assert c.nodes()[-1]["name"] == "only in the copy"


@pytest.mark.parametrize("pre", [None, "", "scaler/ü"])
@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy] + [lambda d, p=p: pickle.loads(pickle.dumps(d, p))
                                                               for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_descriptors_travel_with_their_fields(pre, clone):
    d = kc.PayloadDescriptor(kind="onnx", content_hash="h", framework="ort", version="1", io_schema="f|32",
                             preprocessing_ref=pre)
    c = clone(d)
    assert repr(c) == repr(d) and c.preprocessing_ref == pre
    g = kc.GraphStore()
    s = g.add_source("x")
    assert g.add_external(c, [s]) == g.add_external(d, [s])


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy] + [lambda r, p=p: pickle.dumps(r, p)
                                                              for p in range(pickle.HIGHEST_PROTOCOL + 1)])
@pytest.mark.parametrize("bound", [False, True])
def test_reducers_refuse_to_travel(how, bound):
    r = kc.IncrementalReducer()
    if bound:
        r.step(traced(5)[0])
    with pytest.raises(TypeError, match=r"^cannot pickle 'IncrementalReducer' object: it is bound to a live"):
        how(r)


def test_the_module_gains_no_attributes():
    assert [n for n in dir(kc) if not n.startswith("_")] == [
        "GraphStore", "IncrementalReducer", "PayloadDescriptor", "RuleSet", "version"]


# --- malformed states --------------------------------------------------------

_reduced = traced(6)[0].reduce(outputs=traced(6)[1])[0]
VERSION, BLOB, MAP = _reduced.__reduce__()[2]
N = _reduced.node_count()
STAGE = next(n for n in _reduced.nodes() if n["kind"] == "stage")
OTHER = next(n["id"] for n in _reduced.nodes() if n["kind"] != "stage")


def entry(node, member=ABSENT):
    return MAP[:8] + struct.pack("<II", node, member) + MAP[16:]


@pytest.mark.parametrize("state, error, message", [
    ([1, BLOB, MAP], TypeError, "must be a tuple, not list"),
    ((), ValueError, "empty tuple"),
    (("1", BLOB, MAP), TypeError, "version must be an int, not str"),
    ((True, BLOB, MAP), TypeError, "version must be an int, not bool"),
    ((2, BLOB, MAP), ValueError, r"unsupported version 2 \(this module reads version 1\)"),
    ((2**70, BLOB), ValueError, "unsupported version"),
    ((1, BLOB), ValueError, "2 items, version 1 has 3"),
    ((1, BLOB, MAP, b""), ValueError, "4 items"),
    ((1, bytearray(BLOB), MAP), TypeError, "the blob must be bytes, not bytearray"),
    ((1, BLOB, None), TypeError, "the node map must be bytes, not NoneType"),
    ((1, b"", MAP), ValueError, "truncated korvane IR blob"),
    ((1, b"KIR2" + BLOB[4:], MAP), ValueError, r"not a korvane IR blob \(bad magic/version\)"),
    ((1, BLOB[:-9], MAP), ValueError, "truncated korvane IR blob"),
    ((1, BLOB, MAP[:-1]), ValueError, "truncated node map"),
    ((1, BLOB, MAP + b"\0" * 4), ValueError, "truncated node map"),
    ((1, BLOB, entry(N)), ValueError, f"node map entry 1 refers to node {N} of {N}"),
    ((1, BLOB, entry(ABSENT, 0)), ValueError, "entry 1 has a member but no node"),
    ((1, BLOB, entry(OTHER, 0)), ValueError, f"member 0 of node {OTHER}, which is not a stage"),
    ((1, BLOB, entry(STAGE["id"], STAGE["n_members"])), ValueError, f"which has {STAGE['n_members']}"),
])
def test_malformed_states_leave_the_store_new(state, error, message):
    g = kc.GraphStore()
    with pytest.raises(error, match=message):
        g.__setstate__(state)
    assert (g.node_count(), g.outputs(), g.node_map()) == (0, [], [])
    g.__setstate__((VERSION, BLOB, MAP))
    assert view(g) == view(_reduced)


def test_a_malformed_state_fails_pickle_loads_too():
    data = pickle.dumps(_reduced).replace(MAP, entry(N))
    with pytest.raises(ValueError, match="refers to node"):
        pickle.loads(data)


@pytest.mark.parametrize("store", [traced(7)[0], traced(7)[0].reduce(outputs=[])[0]])
def test_only_a_new_store_takes_a_state(store):
    before = view(store)
    with pytest.raises(ValueError, match=r"needs a new, empty GraphStore"):
        store.__setstate__((VERSION, BLOB, MAP))
    assert view(store) == before


# --- threads and processes ---------------------------------------------------


def test_pickling_while_another_thread_records_gives_prefixes():
    g, _ = traced(8)
    copies, started = [], threading.Event()

    def record():
        started.set()
        for i in range(20_000):
            g.add_op("neg", [g.node_count() - 1], {"i": i})

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    thread = threading.Thread(target=record)
    try:
        thread.start()
        started.wait()
        while thread.is_alive():
            copies.append(pickle.loads(pickle.dumps(g)))
    finally:
        thread.join()
        sys.setswitchinterval(old)
    final = g.nodes()
    assert len({c.node_count() for c in copies}) > 1
    for c in copies:
        assert c.nodes() == final[:c.node_count()]
        assert kc.GraphStore.deserialize(c.serialize()).serialize() == c.serialize()


def reduce_in_worker(store, outputs):
    return store.reduce(outputs=outputs)


def test_reduction_in_a_spawned_process_pool_matches_in_process():
    cases = [traced(seed) for seed in range(4)]
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        results = list(pool.map(reduce_in_worker, *zip(*cases)))
    for (g, outputs), (reduced, report) in zip(cases, results):
        here, here_report = g.reduce(outputs=outputs)
        assert report == here_report and view(reduced) == view(here) and here.node_map()
