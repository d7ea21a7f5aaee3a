"""A typed program that uses the whole korvane_core API; mypy checks it against the stubs."""

from __future__ import annotations

import numpy as np

import korvane_core as kc


def record() -> tuple[kc.GraphStore, list[int]]:
    g = kc.GraphStore()
    x: int = g.add_source("x", {"days": 7, "scale": 0.5, "on": True, "tag": "t"})
    y = g.add_source(name="y")
    s = g.add_op("add", [x, y])
    s = g.add_op("add", (s,), {"scalar": 0.0, "side": "r"})
    r = g.add_reduction("sum", range(s, s + 1), None)
    d = kc.PayloadDescriptor(kind="onnx", content_hash="h", framework="ort", version="1", io_schema="f32")
    e = g.add_external(d, [r])
    e2 = g.add_external({"kind": "onnx", "content_hash": "h", "framework": "ort", "version": "1",
                         "io_schema": "f32", "preprocessing_ref": None}, [r])
    ex = g.add_exchange([e], {"parts": 8})
    j = g.add_join(np.array([ex, e2]))
    return g, [j]


def inspect(g: kc.GraphStore) -> int:
    total = g.node_count() + len(g.outputs()) + len(g.to_dot())
    for node in g.nodes():
        total += node["id"] + len(node["inputs"]) + len(node["params"])
        if node["kind"] == "stage":
            for member in node["members"]:
                total += len(member["name"]) + sum(index for _, index in member["inputs"])
        elif node["kind"] == "external":
            ref: str | None = node["descriptor"]["preprocessing_ref"]
            total += len(ref or "")
    for entry in g.node_map():
        if entry is not None:
            node_id, position = entry
            total += node_id + (position or 0)
    return total


def reduce(g: kc.GraphStore, outputs: list[int]) -> kc.ReductionReport:
    reduced, report = g.reduce(maximal_fusion=np.bool_(True), outputs=outputs)
    again = kc.GraphStore.deserialize(reduced.serialize())
    _, report2 = again.reduce_incremental()
    assert g.reduction_report(outputs=outputs)["stages"] >= report2["stages"] - report["stages"]
    reducer = kc.IncrementalReducer()
    consumed: int = reducer.step(g)
    _, final = reducer.finalize(g, outputs=outputs, maximal_fusion=False)
    assert consumed == reducer.watermark() == reducer.total_work() >= reducer.canonical_count()
    return final


if __name__ == "__main__":
    store, outs = record()
    print(kc.version(), inspect(store), reduce(store, outs)["reduced_nodes"])
