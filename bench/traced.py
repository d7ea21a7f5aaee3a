"""A traced feature pipeline of any size, for the reduction benchmarks.

What a tracing front end records for a large model-serving graph: event
sources; blocks of element-wise arithmetic that read earlier blocks;
identity operators and commuted twins of earlier binary operators (a share
of the chain steps set by `redundancy`); re-derivations of earlier values
through an identity (neg(add0(x)) beside neg(x)); repeated calls
(hash-consing hits); sum reductions; calls into external models; exchanges
and joins; and debugging branches that no output reads.
"""

from __future__ import annotations

import random
from collections import deque

import korvane_core as kc

UNARY = ("neg", "exp", "log1p", "relu", "tanh", "abs", "sqrt")
BINARY = ("add", "mul", "maximum", "minimum", "sub", "div")
COMMUTATIVE = ("add", "mul", "maximum", "minimum")
IDENTITIES = (
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
)
MODELS = [
    kc.PayloadDescriptor(kind="onnx", content_hash=f"sha256:{i:08x}", framework="onnxruntime", version="1.17.1",
                         io_schema="f32[n,8]->f32[n,1]", preprocessing_ref=None if i % 2 else f"scaler-v{i}")
    for i in range(8)
]


def trace(g: kc.GraphStore, nodes: int, *, seed: int = 1, redundancy: float = 0.25) -> list[int]:
    """Records about `nodes` nodes into `g`; returns the output ids.

    `redundancy` is the share of chain steps that record an identity, a
    commuted twin or a re-derivation: nodes that the optimizer removes."""
    rng = random.Random(seed)
    add_op, add_reduction = g.add_op, g.add_reduction
    n_sources = max(4, nodes // 5000)
    sources = [g.add_source(f"events{i}", {"table": f"events.t{i}", "days": 7}) for i in range(n_sources)]
    dims = [g.add_source(f"dim{i}", {"table": f"dim.t{i}"}) for i in range(max(1, n_sources // 4))]
    live = list(sources)  # values later blocks may read
    pending = deque(sources)  # values no block has read yet
    outputs: list[int] = []
    block = 0
    while g.node_count() < nodes:
        block += 1
        x = pending.popleft() if pending else live[-1 - rng.randrange(len(live))]
        # How x was computed: (name, inputs, params) of its last operator.
        made: tuple[str, list[int], dict | None] | None = None
        for _ in range(rng.randint(3, 8)):
            r = rng.random()
            if r < redundancy * 0.4 or (r < redundancy and made is None):
                name, params = IDENTITIES[rng.randrange(4)]
                x = add_op(name, [x], params)
            elif made is None or r >= redundancy + 0.05:
                if r < 0.6:
                    made = (BINARY[rng.randrange(len(BINARY))], [x, live[rng.randrange(len(live))]], None)
                else:
                    made = (UNARY[rng.randrange(len(UNARY))], [x], {"scale": 0.5} if rng.random() < 0.2 else None)
                x = add_op(*made)
            elif r < redundancy * 0.7 and made[0] in COMMUTATIVE and len(made[1]) == 2:
                a, y = made[1]
                x = add_op(made[0], [y, a])  # the twin of the call that made x
            elif r < redundancy:
                name, (a, *rest), made_params = made
                ident, ident_params = IDENTITIES[rng.randrange(4)]
                x = add_op(name, [add_op(ident, [a], ident_params), *rest], made_params)  # x again
            else:
                x = add_op(*made)  # the same call again: a hash-consing hit
        if block % 4 == 0:
            x = add_reduction("sum", [x], {"axis": block % 2})
        if block % 50 == 0:
            x = g.add_external(MODELS[block // 50 % len(MODELS)], [x, sources[block % n_sources]], {"batch": 1024})
        if block % 100 == 0:
            x = g.add_exchange([x], {"scheme": "hash", "key": "user_id", "parts": 64})
            x = g.add_join([x, dims[block % len(dims)]], {"how": "left", "on": "user_id"})
        if rng.random() < 0.1:
            # A debugging branch: recorded, never read.
            dead = add_op("neg", [x])
            add_op("exp", [add_op("mul", [dead, x])])
        live.append(x)
        pending.append(x)
        if block % 500 == 0:
            outputs.append(x)
    # The chains still open are the program's results.
    return outputs + list(pending)
