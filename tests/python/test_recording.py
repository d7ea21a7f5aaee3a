"""Recording nodes: hash-consing identity, parameter and descriptor conversion,
and failures that leave the store unchanged."""

import gc
import math

import numpy as np
import pytest

import korvane_core as kc

DESCRIPTOR = dict(kind="onnx", content_hash="sha256:1", framework="ort", version="1", io_schema="f32->f32")


@pytest.fixture
def g():
    return kc.GraphStore()


def test_new_store_is_empty(g):
    assert g.node_count() == 0
    assert g.outputs() == []


def test_ids_are_dense_and_hash_consed(g):
    x = g.add_source("x")
    assert g.add_source("x") == x == 0
    y = g.add_source("y")
    f = g.add_op("f", [x, y])
    assert (y, f) == (1, 2)
    assert g.add_op("f", [x, y]) == f
    assert g.add_op("f", [y, x]) == 3
    assert g.add_op("f", [x, x]) == 4
    assert g.node_count() == 5


@pytest.mark.parametrize(
    "first, second",
    [
        ({"a": 1}, {"a": 1.0}),
        ({"a": 1}, {"a": True}),
        ({"a": 1.0}, {"a": True}),
        ({"a": 0.0}, {"a": -0.0}),
        ({"a": "1"}, {"a": 1}),
        ({"a": 1}, {"b": 1}),
        ({}, {"a": 1}),
        ({"a": 2**63}, {"a": 2**63 - 1}),
    ],
)
def test_parameters_take_part_in_identity(g, first, second):
    assert g.add_source("x", first) != g.add_source("x", second)


@pytest.mark.parametrize(
    "first, second",
    [
        ({"v": float("nan")}, {"v": float("nan")}),
        ({"v": float("nan")}, {"v": -float("nan")}),
        ({"b": 1, "a": 2}, {"a": 2, "b": 1}),
        (None, {}),
        ({"x": 2**63}, {"x": 9.223372036854775808e18}),
        ({"x": np.int64(3)}, {"x": 3}),
        ({"x": np.float32(0.5)}, {"x": 0.5}),
    ],
)
def test_equal_parameters_share_a_node(g, first, second):
    assert g.add_source("x", first) == g.add_source("x", second)


def test_params_default_forms_are_one_node(g):
    a = g.add_source("a")
    ids = {g.add_exchange([a]), g.add_exchange([a], None), g.add_exchange([a], {}), g.add_exchange(inputs=(a,))}
    assert len(ids) == 1


@pytest.mark.parametrize(
    "params, error, message",
    [
        ([("x", 1)], TypeError, "params must be a dict or None"),
        ("x", TypeError, "params must be a dict or None"),
        ({"x": None}, TypeError, "param values must be int, float, bool, or str"),
        ({"x": [1]}, TypeError, "param values must be int, float, bool, or str"),
        ({"x": b"1"}, TypeError, "param values must be int, float, bool, or str"),
        ({"x": 10**400}, TypeError, "param values must be int, float, bool, or str"),
        ({1: 2}, TypeError, None),
        ({"ok": 1, None: 2}, TypeError, None),
    ],
)
def test_bad_params(g, params, error, message):
    x = g.add_source("x")
    with pytest.raises(error) as info:
        g.add_op("f", [x], params)
    if message:
        assert str(info.value) == message
    assert g.node_count() == 1


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    def __float__(self):
        return 2.5


class StrSub(str):
    pass


class RefusingIndex:
    def __index__(self):
        raise TypeError("refused")


class AnyAttribute:
    """Answers every attribute lookup, __index__ included, through __getattr__
    (which the interpreter does not consult for the conversion slot)."""

    def __getattr__(self, name):
        return 1


class Raising:
    """__index__ raises `on_index`; __float__ raises `on_float` if it is an
    exception, else returns it."""

    def __init__(self, on_index, on_float):
        self.on_index, self.on_float = on_index, on_float

    def __index__(self):
        raise self.on_index

    def __float__(self):
        if isinstance(self.on_float, BaseException):
            raise self.on_float
        return self.on_float


def test_parameter_value_classification(g):
    """The rules in order: exact bool, then 64-bit ints (with __index__), then
    floats (with __float__, and ints beyond 64 bits), then str."""
    x = g.add_source("x", {"v": Indexable(7)})
    assert g.add_source("x", {"v": 7}) == x
    assert g.add_source("y", {"v": Floatable()}) == g.add_source("y", {"v": 2.5})
    assert g.add_source("z", {"v": StrSub("s")}) == g.add_source("z", {"v": "s"})
    assert g.add_source("w", {"v": -(2**63)}) != g.add_source("w", {"v": float(-(2**63))})
    assert g.add_source("w", {"v": -(2**63) - 1}) == g.add_source("w", {"v": float(-(2**63) - 1)})


def test_failed_conversions_of_a_param_value_fall_through_to_the_next_kind(g):
    assert g.add_source("x", {"v": Raising(ValueError("no int"), 2.5)}) == g.add_source("x", {"v": 2.5})
    with pytest.raises(TypeError, match="param values must be int, float, bool, or str"):
        g.add_source("x", {"v": Raising(TypeError(), ValueError())})


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("where", ["__index__", "__float__"])
def test_interrupts_while_converting_a_param_value_go_up(g, error, where):
    value = Raising(error(), 2.5) if where == "__index__" else Raising(TypeError(), error())
    with pytest.raises(error):
        g.add_source("x", {"v": value})
    assert g.node_count() == 0


@pytest.mark.parametrize(
    "inputs, error, message",
    [
        ("12", TypeError, "Can't extract `str` to `Vec`"),
        (StrSub("0"), TypeError, "Can't extract `str` to `Vec`"),
        ([-1], OverflowError, "inputs"),
        ([2**64], OverflowError, "inputs"),
        ([0.0], TypeError, "inputs"),
        (["0"], TypeError, "inputs"),
        (5, TypeError, "inputs"),
        ({0: 0}, TypeError, "inputs"),
        ([Indexable("0")], TypeError, "argument 'inputs': __index__ returned non-int"),
        ([RefusingIndex()], TypeError, "argument 'inputs': refused"),
        ([AnyAttribute()], TypeError, "argument 'inputs': 'AnyAttribute' object cannot be interpreted as an integer"),
        ([5], ValueError, "no node with id 5"),
        ([0, 7, 9], ValueError, "no node with id 7"),
        ([2**64 - 1], ValueError, "no node with id 18446744073709551615"),
    ],
)
def test_bad_inputs_leave_store_unchanged(g, inputs, error, message):
    for name in "abcde":
        g.add_source(name)
    with pytest.raises(error) as info:
        g.add_op("f", inputs)
    assert message in str(info.value)
    assert g.node_count() == 5


@pytest.mark.parametrize("form", [list, tuple, lambda ids: range(ids[0], ids[-1] + 1), np.array])
def test_any_sequence_of_ints_is_accepted(g, form):
    a, b = g.add_source("a"), g.add_source("b")
    assert g.add_op("f", form([a, b])) == g.add_op("f", [a, b])


def test_index_objects_and_repeated_inputs(g):
    a = g.add_source("a")
    assert g.add_op("f", [Indexable(a), np.uint64(a)]) == g.add_op("f", [a, a])
    assert g.add_join([a, a, a]) != g.add_join([a, a])
    assert g.add_exchange([]) == g.add_exchange(())


def test_descriptor_conversion(g):
    a = g.add_source("a")
    d = kc.PayloadDescriptor(**DESCRIPTOR)
    ext = g.add_external(d, [a])
    assert g.add_external(dict(DESCRIPTOR), [a]) == ext
    assert g.add_external(dict(DESCRIPTOR, preprocessing_ref=None, extra=1), [a]) == ext
    assert g.add_external(dict(DESCRIPTOR, preprocessing_ref=""), [a]) != ext
    assert g.add_external(dict(DESCRIPTOR, preprocessing_ref="-"), [a]) != ext
    assert g.add_external(kc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref=""), [a]) == g.add_external(
        dict(DESCRIPTOR, preprocessing_ref=""), [a]
    )
    assert d.kind == "onnx"  # the instance is untouched


@pytest.mark.parametrize(
    "descriptor, error, message",
    [
        ({k: v for k, v in DESCRIPTOR.items() if k != "framework"}, ValueError,
         "descriptor missing required field 'framework'"),
        ({k: v for k, v in DESCRIPTOR.items() if k not in ("kind", "version")}, ValueError,
         "descriptor missing required field 'kind'"),
        ({**{k: v for k, v in DESCRIPTOR.items() if k != "kind"}, "preprocessing_ref": 5}, TypeError, None),
        (dict(DESCRIPTOR, version=None), TypeError, None),
        ("onnx", TypeError, "descriptor must be a PayloadDescriptor or dict"),
        ([("kind", "onnx")], TypeError, "descriptor must be a PayloadDescriptor or dict"),
    ],
)
def test_bad_descriptors(g, descriptor, error, message):
    a = g.add_source("a")
    with pytest.raises(error) as info:
        g.add_external(descriptor, [a])
    if message:
        assert str(info.value) == message
    assert g.node_count() == 1


def test_add_external_converts_inputs_then_descriptor_then_params(g):
    with pytest.raises(TypeError, match="Can't extract"):
        g.add_external("bad", "bad", "bad")
    with pytest.raises(TypeError, match="descriptor must be"):
        g.add_external("bad", [], "bad")
    with pytest.raises(TypeError, match="params must be"):
        g.add_external(DESCRIPTOR, [], "bad")
    # Conversion failures come before the id check.
    with pytest.raises(TypeError, match="descriptor must be"):
        g.add_external("bad", [99])
    with pytest.raises(ValueError, match="no node with id 99"):
        g.add_external(DESCRIPTOR, [99])


def test_names_are_any_str(g):
    names = ["", "a|b;c=d%", "ünï", "\x00", "x" * 10_000]
    ids = [g.add_source(n) for n in names]
    assert ids == list(range(len(names)))
    assert [g.add_source(n) for n in names] == ids
    assert g.add_source(StrSub("a|b;c=d%")) == ids[1]


def test_conversion_survives_code_that_edits_its_arguments(g):
    a = g.add_source("a")
    params = {}

    class Sneaky:
        def __index__(self):
            params.clear()
            inputs.clear()
            return 1

    params.update(k=Sneaky(), other="value" * 20)
    inputs = [a]
    g.add_source("s", params)
    inputs = [a, Sneaky(), a]
    node = g.add_op("f", inputs)  # the list shrank under the conversion: only what was read counts
    assert node == g.node_count() - 1


def test_float_signed_zero_and_nan_bits(g):
    z = g.add_source("x", {"v": 0.0})
    assert g.add_source("x", {"v": -0.0}) != z
    n = g.add_source("x", {"v": math.nan})
    assert g.add_source("x", {"v": float("-nan")}) == n


class OddName(type):
    """A metaclass whose classes claim a name that is no str."""

    @property
    def __name__(cls):
        return 123456789


class Odd(metaclass=OddName):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda g: g.add_source(Odd()),
        lambda g: g.add_op("f", Odd()),
        lambda g: g.add_op("f", [Odd()]),
        lambda g: g.add_source("s", {Odd(): 1}),
        lambda g: g.add_external({"kind": Odd(), "content_hash": "h", "framework": "f", "version": "v",
                                  "io_schema": "s"}, []),
        lambda g: kc.PayloadDescriptor(kind=Odd(), content_hash="h", framework="f", version="v", io_schema="s"),
        lambda g: kc.GraphStore.deserialize(Odd()),
        lambda g: g.reduce(maximal_fusion=Odd()),
        lambda g: g.reduce(outputs=[Odd()]),
        lambda g: kc.IncrementalReducer().step(Odd()),
    ],
)
def test_errors_name_the_real_type_whatever_its_metaclass_says(g, call):
    with pytest.raises(TypeError, match="'?Odd'?"):
        call(g)


class Holder(str):
    """A str that keeps the store it is recorded into alive, and tells when
    it is released."""

    released: list[str] = []

    def __del__(self):
        Holder.released.append(str(self))


@pytest.mark.parametrize(
    "record",
    [
        lambda g, s: g.add_source(s),
        lambda g, s: g.add_source("x", {s: 1}),
        lambda g, s: g.add_source("x", {"k": s}),
    ],
)
def test_str_subclass_arguments_are_not_kept_by_the_store(record):
    # A store that kept such an argument would form a cycle through it that
    # the collector cannot see: neither would ever be freed.
    Holder.released.clear()
    g = kc.GraphStore()
    s = Holder("held")
    s.store = g
    record(g, s)
    record(g, s)
    del s, g
    gc.collect()
    assert Holder.released == ["held"]
