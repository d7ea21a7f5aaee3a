"""Hardened argument conversion: a parameter map's identity cannot depend on
dict order or on how a value's type spells bool, and interrupts raised by
Python code that a conversion runs reach the caller unchanged."""

import numpy as np
import pytest

import korvane_core as kc

DESCRIPTOR = dict(kind="onnx", content_hash="sha256:1", framework="ort", version="1", io_schema="f32->f32")

# Every method that takes a params dict, recording over the one source (node 0).
RECORDERS = {
    "add_source": lambda g, params: g.add_source("s", params),
    "add_op": lambda g, params: g.add_op("f", [0], params),
    "add_reduction": lambda g, params: g.add_reduction("sum", [0], params),
    "add_external": lambda g, params: g.add_external(DESCRIPTOR, [0], params),
    "add_exchange": lambda g, params: g.add_exchange([0], params),
    "add_join": lambda g, params: g.add_join([0, 0], params),
}


def store_with_source():
    g = kc.GraphStore()
    g.add_source("x")
    return g


# --- parameter identity ---


class OneHash(str):
    """Hashes like no plain str, so a dict keeps it beside the plain key of the same text."""

    def __hash__(self):
        return 1


class NeverEqual(str):
    """Equal to nothing, so a dict keeps two of them with one text."""

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return False


@pytest.mark.parametrize("recorder", RECORDERS.values(), ids=RECORDERS.keys())
@pytest.mark.parametrize(
    "make_params, key",
    [
        (lambda: {OneHash("a"): 1, "a": 2}, "a"),
        (lambda: {"a": 2, OneHash("a"): 1}, "a"),
        (lambda: {NeverEqual("a"): 1, NeverEqual("a"): 1}, "a"),
        (lambda: {"z": 0, "b": 1, OneHash("y"): 2, "c": 3, "y": 4, "d": 5}, "y"),  # too many keys to be cached
        (lambda: {OneHash("ключ;=|"): 1.5, "ключ;=|": "v"}, "ключ;=|"),
    ],
    ids=["subclass-first", "subclass-last", "two-subclass-keys", "among-six", "non-ascii"],
)
def test_a_key_given_twice_is_refused_and_records_nothing(recorder, make_params, key):
    g = store_with_source()
    before = g.serialize()
    with pytest.raises(ValueError) as info:
        recorder(g, make_params())
    assert str(info.value) == f"duplicate param key '{key}'"
    assert g.node_count() == 1
    assert g.serialize() == before
    # A later recording gets the id and bytes it gets in a store that never saw the failure.
    fresh = store_with_source()
    assert recorder(g, {key: 2}) == recorder(fresh, {key: 2}) == 1
    assert g.serialize() == fresh.serialize()


def test_a_cached_map_does_not_hide_a_key_given_twice():
    g = store_with_source()
    node = g.add_op("f", [0], {"a": 1})
    assert g.add_op("f", [0], {"a": 1}) == node
    with pytest.raises(ValueError, match="duplicate param key 'a'"):
        g.add_op("f", [0], {OneHash("a"): 1, "a": 1})
    assert g.node_count() == 2


def test_str_subclass_keys_of_distinct_text_record_as_their_text():
    g = store_with_source()
    node = g.add_op("f", [0], {OneHash("b"): 1, NeverEqual("a"): 2, "c": 3})
    assert g.add_op("f", [0], {"a": 2, "b": 1, "c": 3}) == node
    assert list(g.nodes()[node]["params"]) == ["a", "b", "c"]


@pytest.mark.parametrize("numpy_value, plain", [(np.True_, True), (np.False_, False), (np.bool_(7), True)])
def test_a_numpy_bool_records_as_a_bool(numpy_value, plain):
    g = kc.GraphStore()
    node = g.add_source("s", {"v": numpy_value})
    assert g.add_source("s", {"v": plain}) == node
    assert g.add_source("s", {"v": float(plain)}) != node
    assert g.add_source("s", {"v": int(plain)}) != node
    value = g.nodes()[node]["params"]["v"]
    assert type(value) is bool and value is plain


@pytest.mark.parametrize(
    "numpy_value, plain",
    [(np.int8(-2), -2), (np.uint64(2**63), float(2**63)), (np.float64(2.5), 2.5), (np.float16(0.5), 0.5)],
)
def test_numpy_ints_and_floats_keep_their_kinds(numpy_value, plain):
    g = kc.GraphStore()
    node = g.add_source("s", {"v": numpy_value})
    assert g.add_source("s", {"v": plain}) == node
    assert type(g.nodes()[node]["params"]["v"]) is type(plain)


class FakeNumpyBool:
    """Named like a numpy bool, with no __bool__ of its own but a __float__."""

    def __float__(self):
        return 1.0


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


def test_a_numpy_name_without_a_bool_conversion_is_no_bool():
    g = kc.GraphStore()
    assert g.add_source("s", {"v": FakeNumpyBool()}) == g.add_source("s", {"v": 1.0})


# --- interrupts ---


def raise_(error):
    raise error()


def type_attr_raising(error, attr):
    """A value reading as 1.0 (as a numpy bool does) whose type's `attr`
    lookup raises `error`; its type is otherwise named like a numpy bool."""

    meta = type("Meta", (type,), {attr: property(lambda cls: raise_(error))})
    namespace = {"__module__": "numpy", "__float__": lambda self: 1.0, "__bool__": lambda self: True}
    return meta("bool_", (), namespace)()


def numpy_bool_raising(error):
    """A numpy-named bool scalar whose __bool__ raises `error`."""

    namespace = {"__module__": "numpy", "__float__": lambda self: 0.0, "__bool__": lambda self: raise_(error)}
    return type("bool_", (), namespace)()


def index_raising(error):
    class Index:
        def __index__(self):
            raise error()

    return Index()


class Seq:
    def __init__(self, error, on):
        self.error, self.on = error, on

    def __len__(self):
        if self.on == "len":
            raise self.error()
        return 1

    def __getitem__(self, i):
        if self.on == "item":
            raise self.error()
        return 0


def descriptor_key_raising(error):
    """A descriptor dict whose lookup of "kind" runs a key's raising __eq__."""

    class Key(str):
        armed = False

        def __hash__(self):
            return hash("kind")

        def __eq__(self, other):
            if Key.armed:
                raise error()
            return str.__eq__(self, other)

    d = {Key("other"): "x", **DESCRIPTOR}
    Key.armed = True
    return d


CASES = {
    "param value __module__": lambda g, e: g.add_source("s", {"v": type_attr_raising(e, "__module__")}),
    "param value __name__": lambda g, e: g.add_source("s", {"v": type_attr_raising(e, "__name__")}),
    "param value numpy __bool__": lambda g, e: g.add_source("s", {"v": numpy_bool_raising(e)}),
    "maximal_fusion __module__": lambda g, e: g.reduce(maximal_fusion=type_attr_raising(e, "__module__")),
    "maximal_fusion __name__": lambda g, e: g.reduce(maximal_fusion=type_attr_raising(e, "__name__")),
    "maximal_fusion numpy __bool__": lambda g, e: g.reduce(maximal_fusion=numpy_bool_raising(e)),
    "finalize maximal_fusion __module__": lambda g, e: kc.IncrementalReducer().finalize(
        g, maximal_fusion=type_attr_raising(e, "__module__")
    ),
    "input __index__": lambda g, e: g.add_op("f", [0, index_raising(e)]),
    "inputs __len__": lambda g, e: g.add_op("f", Seq(e, "len")),
    "inputs __getitem__": lambda g, e: g.add_join(Seq(e, "item")),
    "outputs __index__": lambda g, e: g.reduction_report(outputs=(index_raising(e),)),
    "serialize outputs __index__": lambda g, e: g.serialize(outputs=[index_raising(e)]),
    "to_dot depth __index__": lambda g, e: g.to_dot(around=[0], depth=index_raising(e)),
    "descriptor key __eq__": lambda g, e: g.add_external(descriptor_key_raising(e), [0]),
}


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_interrupts_raised_by_a_conversion_go_up_unchanged(call, error):
    g = store_with_source()
    before = g.serialize()
    with pytest.raises(error) as info:
        call(g, error)
    assert type(info.value) is error
    assert g.node_count() == 1
    assert g.serialize() == before


@pytest.mark.parametrize("attr", ["__module__", "__name__"])
def test_an_ordinary_error_of_a_type_lookup_means_not_numpy(attr):
    g = store_with_source()
    with pytest.raises(TypeError, match="cannot be converted to 'bool'"):
        g.reduce(maximal_fusion=type_attr_raising(LookupError, attr))
    assert g.add_source("s", {"v": type_attr_raising(LookupError, attr)}) == g.add_source("s", {"v": 1.0})
