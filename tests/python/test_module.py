"""The module's shape: initialisation, signatures, argument binding."""

import inspect

import pytest

import korvane_core as kc


def test_version_and_docstring():
    assert kc.version() == "0.0.5"
    assert kc.__doc__ == ""
    assert inspect.signature(kc.version) == inspect.Signature()


def test_module_attributes_in_order():
    public = [name for name in vars(kc) if not name.startswith("_")]
    assert public[:3] == ["GraphStore", "PayloadDescriptor", "IncrementalReducer"]
    assert public[-1] == "version"


@pytest.mark.parametrize(
    "obj, signature",
    [
        (kc.GraphStore, "()"),
        (kc.PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
        (kc.GraphStore().add_source, "(name, params=None)"),
        (kc.GraphStore().add_op, "(name, inputs, params=None)"),
        (kc.GraphStore().add_reduction, "(name, inputs, params=None)"),
        (kc.GraphStore().add_external, "(descriptor, inputs, params=None)"),
        (kc.GraphStore().add_exchange, "(inputs, params=None)"),
        (kc.GraphStore().add_join, "(inputs, params=None)"),
        (kc.GraphStore().node_count, "()"),
        (kc.GraphStore().outputs, "()"),
        (kc.GraphStore().to_dot, "(*, around=None, depth=2)"),
        (kc.GraphStore().stats, "()"),
        (kc.GraphStore().serialize, "(outputs=None)"),
        (kc.GraphStore.deserialize, "(data)"),
        (kc.GraphStore().deserialize, "(data)"),
        (kc.GraphStore().nodes, "(ids=None)"),
        (kc.GraphStore().consumers, "(node)"),
        (kc.GraphStore().node_map, "()"),
        (kc.GraphStore().reduce, "(*, maximal_fusion=False, outputs=None, rules=None)"),
        (kc.GraphStore().reduce_incremental, "(*, outputs=None)"),
        (kc.GraphStore().reduction_report, "(*, outputs=None, rules=None)"),
        (kc.GraphStore().reduction_profile, "(*, maximal_fusion=False, outputs=None, rules=None)"),
        (kc.RuleSet, "(rules, *, costs=None, iteration_limit=12, node_limit=None, time_limit=5.0)"),
        (kc.IncrementalReducer, "()"),
        (kc.IncrementalReducer().step, "(store)"),
        (kc.IncrementalReducer().watermark, "()"),
        (kc.IncrementalReducer().total_work, "()"),
        (kc.IncrementalReducer().canonical_count, "()"),
        (kc.IncrementalReducer().finalize, "(store, *, maximal_fusion=False, outputs=None, rules=None)"),
        (kc.GraphStore.add_op, "(self, /, name, inputs, params=None)"),
    ],
)
def test_text_signatures(obj, signature):
    assert str(inspect.signature(obj)) == signature


@pytest.mark.parametrize("cls", [kc.GraphStore, kc.PayloadDescriptor, kc.IncrementalReducer, kc.RuleSet])
def test_types_are_plain_native_classes(cls):
    assert cls.__module__ == "korvane_core"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        cls.extra = 1  # the types themselves are immutable


def test_no_attribute_can_be_set_on_instances():
    g = kc.GraphStore()
    d = kc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    r = kc.IncrementalReducer()
    for obj, attr in [(g, "x"), (g, "add_op"), (d, "kind"), (d, "other"), (r, "step")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: kc.GraphStore(1), "GraphStore() takes no arguments"),
        (lambda g: kc.GraphStore(x=1), "GraphStore() takes no arguments"),
        (lambda g: g.add_op("f"), "GraphStore.add_op() missing required argument 'inputs' (pos 2)"),
        (lambda g: g.add_op("f", [], None, 4), "GraphStore.add_op() takes at most 3 positional arguments (4 given)"),
        (lambda g: g.add_op("f", [], name="g"), "argument for GraphStore.add_op() given by name ('name') and position (1)"),
        (lambda g: g.add_op("f", [], bogus=1), "GraphStore.add_op() got an unexpected keyword argument 'bogus'"),
        (lambda g: g.add_source(), "GraphStore.add_source() missing required argument 'name' (pos 1)"),
        (lambda g: g.add_join(), "GraphStore.add_join() missing required argument 'inputs' (pos 1)"),
        (lambda g: g.node_count(1), "takes no arguments"),
        (lambda g: kc.PayloadDescriptor("k"), "PayloadDescriptor() takes no positional arguments"),
        (lambda g: kc.PayloadDescriptor(kind="k"), "PayloadDescriptor() missing required argument 'content_hash'"),
        (lambda g: g.add_source(b"x"), "GraphStore.add_source() argument 'name' must be str, not bytes"),
        (
            lambda g: kc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema=3),
            "PayloadDescriptor() argument 'io_schema' must be str, not int",
        ),
        (
            lambda g: kc.PayloadDescriptor(
                kind="k", content_hash="h", framework="f", version="v", io_schema="s", preprocessing_ref=1
            ),
            "argument 'preprocessing_ref' must be str",
        ),
    ],
)
def test_binding_errors(call, message):
    g = kc.GraphStore()
    with pytest.raises(TypeError) as info:
        call(g)
    assert message in str(info.value)


def test_keywords_bind_like_positions():
    g = kc.GraphStore()
    x = g.add_source(name="x")
    assert g.add_op(inputs=[x], name="f", params={"a": 1}) == g.add_op("f", [x], {"a": 1})
    assert g.add_join(params=None, inputs=[x, x]) == g.add_join([x, x])


def test_payload_descriptor_fields():
    d = kc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref) == (
        "k", "h", "f", "v", "s", None,
    )
    e = kc.PayloadDescriptor(
        kind="é", content_hash="", framework="f", version="v", io_schema="s", preprocessing_ref=""
    )
    assert e.kind == "é" and e.content_hash == "" and e.preprocessing_ref == ""


def test_surrogates_raise_the_encoding_error():
    g = kc.GraphStore()
    with pytest.raises(UnicodeEncodeError):
        g.add_source("\ud800")
    with pytest.raises(UnicodeEncodeError):
        g.add_source("x", {"k": "\udfff"})
    assert g.node_count() == 0


def test_reprs_show_the_state():
    g = kc.GraphStore()
    x = g.add_source("x")
    assert repr(g) == "<korvane_core.GraphStore: 1 node, 0 outputs>"
    reduced, _ = g.reduce(outputs=[x, x])
    assert repr(reduced) == "<korvane_core.GraphStore: 1 node, 1 output>"
    r = kc.IncrementalReducer()
    r.step(g)
    assert repr(r) == "<korvane_core.IncrementalReducer: watermark 1, 1 canonical nodes>"
    d = kc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="it's")
    assert repr(d) == (
        "PayloadDescriptor(kind='k', content_hash='h', framework='f', version='v', "
        'io_schema="it\'s", preprocessing_ref=None)'
    )
    assert eval(repr(d), {"PayloadDescriptor": kc.PayloadDescriptor}).io_schema == "it's"
