"""One GraphStore shared by several Python threads."""

import sys
import threading

import korvane_core as kc


def test_threads_recording_the_same_and_different_nodes():
    g = kc.GraphStore()
    root = g.add_source("root")
    n_threads, n_nodes = 8, 3000
    results = [None] * n_threads
    barrier = threading.Barrier(n_threads)

    def work(t):
        barrier.wait()
        ids = []
        for i in range(n_nodes):
            name = f"own{t}_{i}" if i % 4 == 0 else f"shared{i}"
            ids.append(g.add_op(name, [root], {"i": i}))
        results[t] = ids

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(old)

    own = (n_nodes + 3) // 4
    assert g.node_count() == 1 + (n_nodes - own) + n_threads * own
    everything = set()
    for t, ids in enumerate(results):
        everything.update(ids)
        for i, node in enumerate(ids):
            if i % 4:
                assert node == results[0][i]
            # Recording again after the race returns the same id.
            name = f"own{t}_{i}" if i % 4 == 0 else f"shared{i}"
            assert g.add_op(name, [root], {"i": i}) == node
    assert everything == set(range(1, g.node_count()))  # dense: no id lost or skipped
