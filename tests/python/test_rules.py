"""User rewrite rules: the RuleSet class, what its rules merge, extraction by
cost, and that without rules nothing changes."""

from __future__ import annotations

import copy
import os
import pickle
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane_core as kc
from evaluator import evaluate
from graphs import programs


def chain(*ops, params=None):
    """x -> ops[0] -> ops[1] ..., with the last node as output."""
    g = kc.GraphStore()
    node = g.add_source("x")
    for op in ops:
        node = g.add_op(op, [node], params)
    return g, node


def values_agree(before_store, outputs, reduced, inputs):
    """Every recorded node that landed somewhere has the value it had; the outputs too."""
    before = evaluate(before_store.nodes(), inputs)
    after = evaluate(reduced.nodes(), inputs)
    for i, entry in enumerate(reduced.node_map()):
        if entry is not None:
            assert after.at(entry) == before.values[i], f"node {i} -> {entry}"
    landed = [reduced.node_map()[o] for o in outputs]
    assert reduced.outputs() == list(dict.fromkeys(node for node, _ in landed))
    assert [after.at(entry) for entry in landed] == [before.values[o] for o in outputs]


# --- the class ---


def test_text_and_triples_compile_to_the_same_rules():
    text = """
    # double negation, both ways of writing it
    neg2: (neg (neg ?x)) => ?x
    assoc: (add (add ?a ?b) ?c) <=> (add ?a (add ?b ?c))
    """
    rs = kc.RuleSet(text)
    assert [name for name, _, _ in rs.rules] == ["neg2", "assoc", "assoc-rev"]
    again = kc.RuleSet(rs.rules)
    assert again.rules == rs.rules and len(again) == 3
    assert repr(rs) == "<korvane_core.RuleSet: 3 rules>"


def test_a_rule_set_pickles_and_copies_with_its_costs_and_limits():
    rs = kc.RuleSet("r: (neg (neg ?x)) => ?x", costs={"exp": 8, "reduction:sum": 20.5}, iteration_limit=3,
                    node_limit=5000, time_limit=None)
    for other in (pickle.loads(pickle.dumps(rs)), copy.copy(rs), copy.deepcopy(rs)):
        assert other.rules == rs.rules and other.costs == rs.costs
        assert (other.iteration_limit, other.node_limit, other.time_limit) == (3, 5000, None)


@pytest.mark.parametrize(
    "rules, error, words",
    [
        ("r: (neg ?x => ?x", ValueError, "line 1"),
        ("r: (neg ?x)) => ?x", ValueError, "line 1"),
        ("a: (neg ?x) => ?x\nr: (neg ?x) => ?y", ValueError, "?y"),
        ("r: (exchange{key=?k} ?x) => (exchange{key=?j} ?x)", ValueError, "?j"),
        ("r: ?x => (neg ?x)", ValueError, "bare variable"),
        ("r: (neg ?x) => ?x\nr: (abs ?x) => ?x", ValueError, "'r'"),
        ("r: (add{scalar=1.2.3} ?x) => ?x", ValueError, "1.2.3"),
        ("r: (frob:thing ?x) => ?x", ValueError, "frob"),
        ("commute-add: (neg ?x) => ?x", ValueError, "built-in"),
        (b"r: (neg ?x) => ?x", TypeError, "str"),
        ([("r", "(neg ?x)")], TypeError, "triple"),
        ([("r", "(neg ?x)", 3)], TypeError, "applier"),
        (42, TypeError, "str"),
    ],
)
def test_bad_rules_are_refused_naming_the_rule(rules, error, words):
    with pytest.raises(error) as info:
        kc.RuleSet(rules)
    assert words in str(info.value)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(costs={"exp": 0}), ValueError),
        (dict(costs={"exp": float("inf")}), ValueError),
        (dict(costs={"frob:x": 1}), ValueError),
        (dict(costs={"exp": "8"}), TypeError),
        (dict(iteration_limit=0), ValueError),
        (dict(node_limit=True), TypeError),
        (dict(time_limit=-1.0), ValueError),
    ],
)
def test_bad_costs_and_limits_are_refused(kwargs, error):
    with pytest.raises(error):
        kc.RuleSet("r: (neg (neg ?x)) => ?x", **kwargs)


def test_rules_must_be_a_rule_set():
    g, out = chain("neg")
    with pytest.raises(TypeError, match="must be RuleSet or None"):
        g.reduce(outputs=[out], rules="r: (neg ?x) => ?x")


# --- what rules merge ---


@pytest.mark.parametrize(
    "ops, rules, canonical",
    [
        (["neg", "neg"], "r: (neg (neg ?x)) => ?x", 1),
        (["exp", "log1p"], "r: (log1p (exp ?x)) => ?x", 1),
        (["abs", "abs", "abs"], "r: (abs (abs ?x)) => (abs ?x)", 2),
        (["neg", "neg"], "r: (abs (abs ?x)) => (abs ?x)", 3),  # matches nothing
    ],
)
def test_a_rule_merges_what_it_says_and_nothing_else(ops, rules, canonical):
    g, out = chain(*ops)
    reduced, report = g.reduce(outputs=[out], rules=kc.RuleSet(rules))
    assert report["canonical_nodes"] == canonical
    assert g.reduce(outputs=[out])[1]["canonical_nodes"] == len(ops) + 1


@pytest.mark.parametrize("literal, merged", [("1", "int"), ("1.0", "float"), ("true", "bool"), ('"1"', "str")])
def test_parameters_match_literals_by_type(literal, merged):
    g = kc.GraphStore()
    x = g.add_source("x")
    nodes = {kind: g.add_op("scale", [x], {"factor": value})
             for kind, value in [("int", 1), ("float", 1.0), ("bool", True), ("str", "1")]}
    reduced, _ = g.reduce(outputs=list(nodes.values()), rules=kc.RuleSet(f"one: (scale{{factor={literal}}} ?x) => ?x"))
    node_map = reduced.node_map()
    assert {kind for kind, node in nodes.items() if node_map[node] == node_map[x]} == {merged}


def test_a_variable_twice_matches_only_equal_values_and_the_applier_reuses_it():
    g = kc.GraphStore()
    x = g.add_source("x")
    same = g.add_op("clip", [x], {"lo": 2.0, "hi": 2.0})
    other = g.add_op("clip", [x], {"lo": 1.0, "hi": 2.0})
    e = g.add_exchange([g.add_op("relu", [x])], {"key": "k", "parts": 4, "scheme": "hash"})
    rs = kc.RuleSet(
        """
        flat: (clip{lo=?v, hi=?v} ?x) => (clip{lo=?v, hi=?v} (clip{lo=?v, hi=?v} ?x))
        push: (exchange{key=?k, parts=?p, scheme=?s} (relu ?x)) => (relu (exchange{key=?k, parts=?p, scheme=?s} ?x))
        """,
        costs={"exchange": 5},
    )
    reduced, _ = g.reduce(outputs=[same, other, e], rules=rs)
    nodes = reduced.nodes()
    profile = g.reduction_profile(outputs=[same, other, e], rules=rs)
    assert profile["rules"]["flat"]["times_applied"] >= 1
    assert sum(it["applied"].get("flat", 0) for it in profile["iterations"]) == 1  # only lo == hi matched
    # The pushed-down exchange keeps the recorded key, parts and scheme.
    exchanges = [n for n in nodes if n["kind"] == "exchange"]
    assert [n["params"] for n in exchanges] == [{"key": "k", "parts": 4, "scheme": "hash"}]
    values_agree(g, [same, other, e], reduced, {"x": -0.75})


def test_one_rule_set_serves_many_threads():
    from concurrent.futures import ThreadPoolExecutor

    g, out = chain("neg", "neg", "abs", "abs")
    rs = kc.RuleSet("neg2: (neg (neg ?x)) => ?x\nabs2: (abs (abs ?x)) => (abs ?x)", time_limit=None)
    expected = g.reduce(outputs=[out], rules=rs)[0].serialize()
    with ThreadPoolExecutor(4) as pool:
        blobs = list(pool.map(lambda _: g.reduce(outputs=[out], rules=rs)[0].serialize(), range(32)))
    assert set(blobs) == {expected}


def test_an_unsound_rule_is_the_users_word():
    g, out = chain("square", "sqrt")
    rs = kc.RuleSet("wrong: (sqrt (square ?x)) => ?x")
    reduced, report = g.reduce(outputs=[out], rules=rs)
    assert report["canonical_nodes"] == 1
    assert evaluate(reduced.nodes(), {"x": -2.0}).values[reduced.outputs()[0]] == -2.0
    assert evaluate(g.nodes(), {"x": -2.0}).values[out] == 2.0


# --- extraction by cost ---


def test_a_cheaper_rule_made_term_wins_and_a_tie_keeps_the_recorded_one():
    g = kc.GraphStore()
    x = g.add_source("x")
    out = g.add_op("neg", [x])
    text = 'flip: (neg ?a) => (mul{scalar=-1.0, side="r"} ?a)'
    tie, _ = g.reduce(outputs=[out], rules=kc.RuleSet(text))
    assert [m["name"] for n in tie.nodes() if n["kind"] == "stage" for m in n["members"]] == ["neg"]
    cheap, _ = g.reduce(outputs=[out], rules=kc.RuleSet(text, costs={"neg": 3}))
    members = [m for n in cheap.nodes() if n["kind"] == "stage" for m in n["members"]]
    assert [(m["name"], m["params"]) for m in members] == [("mul", {"scalar": -1.0, "side": "r"})]
    values_agree(g, [out], cheap, {"x": 1.5})
    # Tree cost counts a shared child once per use: add(x, x) costs 3, the rule's mul(x) 2.
    twice = g.add_op("add", [x, x])
    made, _ = g.reduce(outputs=[twice], rules=kc.RuleSet('t: (add ?a ?a) => (mul{scalar=2.0, side="r"} ?a)'))
    assert [m["name"] for n in made.nodes() if n["kind"] == "stage" for m in n["members"]] == ["mul"]


def test_a_class_whose_only_new_terms_are_cyclic_keeps_its_recorded_term():
    g, out = chain("g")
    rs = kc.RuleSet("wrap: (g ?x) => (h (g ?x))", costs={"g": 50})
    reduced, report = g.reduce(outputs=[out], rules=rs)
    assert report["canonical_nodes"] == 2
    assert reduced.serialize() == g.reduce(outputs=[out])[0].serialize()


def test_a_rule_made_boundary_node_is_emitted_with_its_parameters():
    g = kc.GraphStore()
    x = g.add_source("x")
    out = g.add_reduction("sum", [g.add_op("neg", [x])], {"axis": 0})
    rs = kc.RuleSet("pull: (reduction:sum{axis=?a} (neg ?x)) => (neg (reduction:mean{axis=?a} ?x))",
                    costs={"reduction:sum": 10})
    reduced, _ = g.reduce(outputs=[out], rules=rs)
    reductions = [n for n in reduced.nodes() if n["kind"] == "reduction"]
    assert [(n["name"], n["params"]) for n in reductions] == [("mean", {"axis": 0})]
    # The reduced store is whole: it reads back and reduces again.
    again = kc.GraphStore.deserialize(reduced.serialize())
    assert again.serialize() == reduced.serialize()


# --- nothing changes without rules ---


@given(programs(max_calls=25))
@settings(max_examples=40, deadline=None)
def test_an_empty_rule_set_changes_nothing(prog):
    g = kc.GraphStore()
    ids = prog.record(g)
    outputs = [ids[-1]] if ids else []
    empty = kc.RuleSet("")
    for fusion in (False, True):
        plain, report = g.reduce(outputs=outputs, maximal_fusion=fusion)
        with_empty, report2 = g.reduce(outputs=outputs, maximal_fusion=fusion, rules=empty)
        assert with_empty.serialize() == plain.serialize() and with_empty.node_map() == plain.node_map()
        assert report2 == report


SOUND = [
    "neg2: (neg (neg ?x)) => ?x",
    "abs2: (abs (abs ?x)) => (abs ?x)",
    "absneg: (abs (neg ?x)) => (abs ?x)",
    "relu2: (relu (relu ?x)) => (relu ?x)",
    "maxself: (maximum ?x ?x) => ?x",
    "minself: (minimum ?x ?x) => ?x",
]


@given(programs(max_calls=30), st.sets(st.sampled_from(SOUND), min_size=1), st.booleans())
@settings(max_examples=60, deadline=None)
def test_sound_rules_keep_every_value(prog, rules, fusion):
    g = kc.GraphStore()
    ids = prog.record(g)
    outputs = ids[-2:]
    rs = kc.RuleSet("\n".join(sorted(rules)), costs={"abs": 2})
    reduced, report = g.reduce(outputs=outputs, maximal_fusion=fusion, rules=rs)
    assert report["canonical_nodes"] <= g.reduce(outputs=outputs)[1]["canonical_nodes"]
    values_agree(g, outputs, reduced, prog.inputs)
    finalized, _ = kc.IncrementalReducer().finalize(g, outputs=outputs, rules=rs)
    values_agree(g, outputs, finalized, prog.inputs)


def test_without_a_time_limit_the_result_does_not_depend_on_the_hash_seed():
    code = (
        "import korvane_core as kc, hashlib\n"
        "g = kc.GraphStore(); x = g.add_source('x'); n = x\n"
        "for i in range(300):\n"
        "    n = g.add_op('add', [g.add_op('add', [n, x]), g.add_op('neg', [g.add_op('neg', [n])])])\n"
        "rs = kc.RuleSet('a: (add (add ?a ?b) ?c) <=> (add ?a (add ?b ?c))\\nn: (neg (neg ?x)) => ?x',"
        " time_limit=None, iteration_limit=4)\n"
        "r, rep = g.reduce(outputs=[n], rules=rs)\n"
        "print(hashlib.sha256(r.serialize()).hexdigest(), rep)\n"
    )
    outs = set()
    for seed in ("0", "1", "12345"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        outs.add(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                                check=True, timeout=120).stdout)
    assert len(outs) == 1


def test_the_profile_names_the_users_rules_and_the_limits():
    g, out = chain("neg", "neg")
    rs = kc.RuleSet("neg2: (neg (neg ?x)) => ?x", iteration_limit=5, node_limit=999, time_limit=None)
    profile = g.reduction_profile(outputs=[out], rules=rs)
    assert profile["rules"]["neg2"]["times_applied"] >= 1
    assert profile["iterations"][0]["applied"].get("neg2") == 1
    assert profile["limits"] == {"iteration_limit": 5, "node_limit": 999, "time_limit": None}
    assert g.reduction_profile(outputs=[out])["limits"]["time_limit"] == 5.0
