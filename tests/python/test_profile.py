"""reduction_profile: the reduction of reduce(), explained."""

import pytest
from hypothesis import HealthCheck, given, settings

import korvane_core as kc
from graphs import programs

PHASES = ["snapshot", "reachability", "symbols", "load", "saturation", "extraction", "hash_consing", "fusion", "build"]
STOP_REASONS = {"Saturated": type(None), "IterationLimit": int, "NodeLimit": int, "TimeLimit": float}


def twins_and_identities():
    g = kc.GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    a, b = g.add_op("add", [x, y]), g.add_op("add", [y, x])
    z = g.add_op("add", [a], {"scalar": 0.0, "side": "r"})
    return g, g.add_op("mul", [z, b])


@pytest.mark.parametrize("maximal", [False, True])
def test_counters_are_those_of_reduce_and_the_run_is_told_whole(maximal):
    g, out = twins_and_identities()
    profile = g.reduction_profile(maximal_fusion=maximal, outputs=[out])
    _, report = g.reduce(maximal_fusion=maximal, outputs=[out])
    assert {k: profile[k] for k in report} == report
    assert list(profile["phases"]) == PHASES and all(t >= 0 for t in profile["phases"].values())
    assert profile["stop_reason"] == "Saturated" and profile["stop_payload"] is None
    first = profile["iterations"][0]
    assert first["applied"] == {"commute-add": 1, "commute-mul": 1, "identity-0": 1}
    assert (first["memo_size"], first["class_count"]) == (6, 6)
    assert all(it["total_time"] >= it["search_time"] for it in profile["iterations"])
    assert len(profile["rules"]) == 12
    assert profile["rules"]["commute-add"] == {"times_applied": len(profile["iterations"]), "times_banned": 0,
                                               "banned_until": 0}


def test_a_rule_with_too_many_matches_is_seen_banned():
    # 1,200 commutative nodes: commute-add's matches pass its first limit (1,000), so it is banned.
    g = kc.GraphStore()
    xs = [g.add_source("x", {"i": i}) for i in range(1201)]
    outs = [g.add_op("add", [xs[i], xs[i + 1]]) for i in range(1200)]
    profile = g.reduction_profile(outputs=outs)
    assert profile["rules"]["commute-add"]["times_banned"] >= 1
    assert "commute-add" not in profile["iterations"][0]["applied"]


def test_an_empty_store_has_a_run_too():
    profile = kc.GraphStore().reduction_profile()
    assert profile["input_nodes"] == 0 and profile["stop_reason"] in STOP_REASONS and profile["iterations"]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs())
def test_profiling_changes_nothing(program):
    g = kc.GraphStore()
    ids = program.record(g)
    outputs = [ids[i] for i in program.outputs]
    before = g.reduce(outputs=outputs)
    profile = g.reduction_profile(outputs=outputs)
    after = g.reduce(outputs=outputs)
    assert after[0].serialize() == before[0].serialize() and after[1] == before[1]
    assert {k: profile[k] for k in before[1]} == before[1]
    assert isinstance(profile["stop_payload"], STOP_REASONS[profile["stop_reason"]])
