"""`check_rules`: rewrite rules tried on random values with the executor's op table.

A rule `NAME: SEARCHER => APPLIER` claims that wherever the searcher matches,
the applier computes the same value. `check_rules` evaluates both sides with
the op table on random bindings of the rule's variables and reports, per
rule, either that the sides agreed on every sample or the first
counterexample (the simplest binding among the failures): the binding and
both values. Values are compared bit for bit, except that any NaN equals any
NaN: a rule that turns -0.0 into 0.0 fails.

Value variables (`?x` in argument position) are bound to float64 arrays that
mix ordinary values, small integers, a wide range of magnitudes (1e-300 to
1e300) and the edge values 0.0, -0.0, ±inf, NaN, subnormals and the largest
floats. Parameter variables (`{scalar=?c}`) take, per draw, one value of the
kinds their key admits: numbers for `scalar`, `lo`, `hi` and `temperature`,
"l" or "r" for `side`, a bool for `strict`, 0 for `axis`, and every literal
that the rule writes for the same key. A `source:NAME` node is an input like a
variable. The draws depend only on `seed`.

Rules come as text (the grammar below), as a sequence of
`(name, searcher, applier)` string triples, or as any object with a `rules`
attribute holding such triples (one per direction, as a RuleSet gives them).

Grammar: one rule per line, `NAME: SEARCHER => APPLIER` or `<=>` (both
directions: `NAME` and `NAME-rev`), `#` comments and blank lines. A pattern is
`?var` or `(HEAD ARG...)`; a nullary node may be `(HEAD)` or bare `HEAD`. HEAD is
an op name, `op:NAME`, `source:NAME`, `reduction:NAME`, `exchange` or `join`,
each optionally followed by parameters `{k=v, k2=?p}`. Values: ints, floats
(`1.0`, `-0.0`, `1e-3`, `inf`, `-inf`, `nan`), `true`/`false`, strings `"r"`
(escapes `\\"`, `\\\\`, `\\n`, `\\t`, `\\u{hex}`) and variables.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, Sequence, Union

from .ops import OpImpl, make_table, np, table_key

KINDS = ("op", "source", "reduction")
BARE_KINDS = ("exchange", "join")


@dataclass(frozen=True)
class Var:
    name: str


Value = Union[int, float, bool, str, Var]


@dataclass(frozen=True)
class Node:
    kind: str  # op, source, reduction, exchange, join
    name: str
    params: tuple[tuple[str, Value], ...]
    args: tuple["Pattern", ...]


Pattern = Union[Var, Node]


class RuleSyntaxError(ValueError):
    """A rule text that does not parse; the message names the line and column."""


# Parsing

_DELIMITERS = set("(){},=\"#") | {" ", "\t", "\r", "\n"}


class _Parser:
    def __init__(self, text: str, where: str) -> None:
        self.text, self.pos, self.where = text, 0, where

    def fail(self, message: str) -> RuleSyntaxError:
        return RuleSyntaxError(f"{self.where}, column {self.pos + 1}: {message}")

    def skip(self) -> None:
        while self.pos < len(self.text) and self.text[self.pos] in " \t\r\n":
            self.pos += 1

    def peek(self) -> str:
        self.skip()
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def expect(self, char: str) -> None:
        if self.peek() != char:
            found = repr(self.text[self.pos]) if self.pos < len(self.text) else "the end"
            raise self.fail(f"expected {char!r}, found {found}")
        self.pos += 1

    def atom(self) -> str:
        self.skip()
        start = self.pos
        while self.pos < len(self.text) and self.text[self.pos] not in _DELIMITERS:
            self.pos += 1
        return self.text[start:self.pos]

    def string(self) -> str:
        self.expect('"')
        out: list[str] = []
        while True:
            if self.pos >= len(self.text):
                raise self.fail("unterminated string")
            c = self.text[self.pos]
            self.pos += 1
            if c == '"':
                return "".join(out)
            if c != "\\":
                out.append(c)
                continue
            e = self.text[self.pos:self.pos + 1]
            self.pos += 1
            if e in ('"', "\\"):
                out.append(e)
            elif e == "n":
                out.append("\n")
            elif e == "t":
                out.append("\t")
            elif e == "u" and self.text[self.pos:self.pos + 1] == "{":
                end = self.text.find("}", self.pos)
                try:
                    out.append(chr(int(self.text[self.pos + 1:end], 16)))
                except ValueError:
                    raise self.fail("bad \\u{...} escape") from None
                self.pos = end + 1
            else:
                raise self.fail(f"unknown escape \\{e}")

    def variable(self) -> Var:
        self.expect("?")
        name = self.atom()
        if not name or not all(c.isalnum() or c == "_" for c in name):
            raise self.fail(f"bad variable name {name!r}")
        return Var(name)

    def value(self) -> Value:
        c = self.peek()
        if c == '"':
            return self.string()
        if c == "?":
            return self.variable()
        text = self.atom()
        if text in ("true", "false"):
            return text == "true"
        try:
            return int(text)
        except ValueError:
            pass
        if text.lower() in ("inf", "-inf", "nan", "+inf") or any(ch.isdigit() for ch in text):
            try:
                return float(text)
            except ValueError:
                pass
        raise self.fail(f"bad value {text!r}")

    def params(self) -> tuple[tuple[str, Value], ...]:
        self.expect("{")
        out: dict[str, Value] = {}
        if self.peek() == "}":
            self.pos += 1
            return ()
        while True:
            key = self.string() if self.peek() == '"' else self.atom()
            if not key:
                raise self.fail("expected a parameter name")
            self.expect("=")
            if key in out:
                raise self.fail(f"parameter {key!r} given twice")
            out[key] = self.value()
            if self.peek() == ",":
                self.pos += 1
                continue
            self.expect("}")
            return tuple(sorted(out.items()))

    def head(self) -> tuple[str, str, tuple[tuple[str, Value], ...]]:
        text = self.atom()
        kind, sep, name = text.partition(":")
        if sep:
            if kind not in KINDS:
                raise self.fail(f"unknown head kind {kind!r} (op, source, reduction)")
            if not name and self.text[self.pos:self.pos + 1] == '"':
                name = self.string()
            if not name:
                raise self.fail(f"{kind}: needs a name")
        elif text in BARE_KINDS:
            kind, name = text, ""
        elif text:
            kind, name = "op", text
        else:
            raise self.fail("expected an operator")
        params = self.params() if self.text[self.pos:self.pos + 1] == "{" else ()
        return kind, name, params

    def pattern(self) -> Pattern:
        c = self.peek()
        if c == "?":
            return self.variable()
        if c == "(":
            self.pos += 1
            kind, name, params = self.head()
            args: list[Pattern] = []
            while self.peek() not in (")", ""):
                args.append(self.pattern())
            self.expect(")")
            return Node(kind, name, params, tuple(args))
        if c in ("", ")", "{", "}", ",", "="):
            raise self.fail("expected a pattern")
        kind, name, params = self.head()
        return Node(kind, name, params, ())

    def whole(self) -> Pattern:
        p = self.pattern()
        if self.peek():
            raise self.fail(f"unexpected {self.text[self.pos:]!r} after the pattern")
        return p


def parse_pattern(text: str, where: str = "pattern") -> Pattern:
    return _Parser(text, where).whole()


def _strip_comment(line: str) -> str:
    in_string = escaped = False
    for i, c in enumerate(line):
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
        elif c == "#":
            return line[:i]
    return line


def parse_rules(text: str) -> list[tuple[str, str, str]]:
    """The (name, searcher, applier) triples of a rule text, both directions of a `<=>` rule."""
    triples: list[tuple[str, str, str]] = []
    for number, raw in enumerate(text.splitlines(), 1):
        line = _strip_comment(raw).strip()
        if not line:
            continue
        name, sep, body = line.partition(":")
        name = name.strip()
        if not sep or not name or any(c.isspace() for c in name):
            raise RuleSyntaxError(f"line {number}: expected NAME: SEARCHER => APPLIER")
        both = "<=>" in body
        lhs, arrow, rhs = body.partition("<=>" if both else "=>")
        if not arrow:
            raise RuleSyntaxError(f"line {number}: rule {name!r} has no => or <=>")
        for side in (lhs, rhs):
            parse_pattern(side, f"line {number}")
        triples.append((name, lhs.strip(), rhs.strip()))
        if both:
            triples.append((f"{name}-rev", rhs.strip(), lhs.strip()))
    return triples


def _triples(ruleset: object) -> list[tuple[str, str, str]]:
    if isinstance(ruleset, str):
        return parse_rules(ruleset)
    rules = getattr(ruleset, "rules", ruleset)
    out: list[tuple[str, str, str]] = []
    for rule in rules:  # type: ignore[attr-defined]
        if not (isinstance(rule, tuple) and len(rule) == 3 and all(isinstance(p, str) for p in rule)):
            raise TypeError(f"a rule must be a (name, searcher, applier) triple of str, not {rule!r}")
        out.append(rule)
    return out


# Evaluation

def show(p: Pattern) -> str:
    """A pattern in the rule grammar."""
    if isinstance(p, Var):
        return f"?{p.name}"
    head = p.kind if p.kind in BARE_KINDS else p.name if p.kind == "op" else f"{p.kind}:{p.name}"
    if p.params:
        head += "{" + ", ".join(f"{k}={_show_value(v)}" for k, v in p.params) + "}"
    return f"({head}{''.join(' ' + show(a) for a in p.args)})"


def _show_value(v: Value) -> str:
    if isinstance(v, Var):
        return f"?{v.name}"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        return '"' + v.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return repr(v)


def _walk(p: Pattern, values: dict[str, None], params: dict[str, set[str]], literals: dict[str, list[Value]]) -> None:
    if isinstance(p, Var):
        values.setdefault(p.name, None)
        return
    if p.kind == "source":
        values.setdefault(_source_key(p), None)
    for key, v in p.params:
        if isinstance(v, Var):
            params.setdefault(v.name, set()).add(key)
        else:
            literals.setdefault(key, []).append(v)
    for a in p.args:
        _walk(a, values, params, literals)


def _source_key(p: Node) -> str:
    return f"source:{p.name}" + ("{" + ", ".join(f"{k}={_show_value(v)}" for k, v in p.params) + "}" if p.params else "")


class _Unevaluable(Exception):
    pass


def _evaluate(p: Pattern, env: Mapping[str, Any], table: Mapping[str, OpImpl]) -> Any:
    if isinstance(p, Var):
        return env[p.name]
    if p.kind == "source":
        return env[_source_key(p)]
    params = {k: env[v.name] if isinstance(v, Var) else v for k, v in p.params}
    impl = table.get(table_key(p.kind, p.name))
    if impl is None:
        raise _Unevaluable(f"{show(p)} has no implementation")
    impl.validate(params, len(p.args))
    return impl.fn(*[_evaluate(a, env, table) for a in p.args], **params)


EDGE_VALUES = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
               -2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308, 1e300, -1e300,
               1.0, -1.0, 0.5, -0.5, 2.0]
_PARAM_DOMAINS: dict[str, list[Value]] = {
    "side": ["l", "r"],
    "strict": [False, True],
    "axis": [0],
    "temperature": [1.0, 0.5, 1.5, 2.0, -1.0, 1e-3, 1e300],
}
_NUMBER_DOMAIN: list[Value] = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -3.0, 1e-300, 1e300, math.inf, -math.inf, math.nan,
                               5e-324, 2.5, 0, 1]


def _domain(keys: set[str], literals: Mapping[str, list[Value]]) -> list[Value]:
    """The values a parameter variable bound under `keys` takes: what each key admits, and the
    literals the rule writes for it with more of their type."""
    domain: list[Value] = []
    for key in sorted(keys):
        known = _PARAM_DOMAINS.get(key) or (_NUMBER_DOMAIN if key in ("scalar", "lo", "hi") else [])
        domain += known
        for v in literals.get(key, []):
            if not known:
                domain += _LIKE[type(v).__name__]
            domain.append(v)
    unique: list[Value] = []
    for v in domain or _NUMBER_DOMAIN:
        if not any(type(u) is type(v) and (u == v or u != u and v != v) and repr(u) == repr(v) for u in unique):
            unique.append(v)
    return unique


_LIKE: dict[str, list[Value]] = {"str": ["", "a", "b", "other"], "bool": [False, True], "int": [0, 1, -1, 2, 64],
                                 "float": _NUMBER_DOMAIN}


def _static_problem(p: Pattern, table: Mapping[str, OpImpl]) -> str:
    """Why a pattern can never be evaluated (no implementation, a parameter it does not read, one it
    requires and lacks), or ""."""
    if isinstance(p, Var) or p.kind == "source":
        return ""
    impl = table.get(table_key(p.kind, p.name))
    if impl is None:
        return f"{show(p)} has no implementation"
    keys = {k for k, _ in p.params}
    unread = sorted(keys - impl.reads) if impl.reads is not None else []
    if unread:
        return f"{show(p)}: parameter {unread[0]!r} is not read by its implementation"
    missing = sorted(impl.required - keys)
    if missing:
        return f"{show(p)}: parameter {missing[0]!r} is required and missing"
    for a in p.args:
        problem = _static_problem(a, table)
        if problem:
            return problem
    return ""


def _complexity(v: float) -> int:
    """How plain a value is for a counterexample: small integers first, then edge values (-0.0 among
    them), then the rest."""
    if math.isfinite(v) and v == int(v) and abs(v) <= 3 and not (v == 0 and math.copysign(1.0, v) < 0):
        return 0
    if v in EDGE_VALUES or not math.isfinite(v):
        return 1
    return 2


def _sample(rng: Any, n: int) -> Any:
    """`n` float64 values: a quarter each of small integers, normal values, a wide range of magnitudes
    and edge values, shuffled."""
    n_ = np()
    q = max(1, n // 4)
    parts = [
        rng.integers(-3, 4, q).astype(n_.float64),
        rng.standard_normal(q) * 3.0,
        rng.choice([-1.0, 1.0], q) * 10.0 ** rng.uniform(-300, 300, q),
        rng.choice(n_.array(EDGE_VALUES), q),
    ]
    values = n_.concatenate(parts)[:n]
    if len(values) < n:
        values = n_.concatenate([values, rng.standard_normal(n - len(values))])
    rng.shuffle(values)
    return values


def _same(a: Any, b: Any) -> Any:
    """Element-wise: equal bits, or both NaN."""
    n_ = np()
    a = n_.asarray(a, dtype=n_.float64)
    b = n_.asarray(b, dtype=n_.float64)
    a, b = n_.broadcast_arrays(a, b)
    return (a == b) & (n_.signbit(a) == n_.signbit(b)) | (n_.isnan(a) & n_.isnan(b))


@dataclass
class RuleCheck:
    """What checking one rule found."""

    name: str
    ok: bool
    binding: dict[str, Any] = field(default_factory=dict)  # the counterexample's variables
    lhs: Any = None  # the searcher's value there
    rhs: Any = None  # the applier's value there
    searcher: str = ""
    applier: str = ""
    samples: int = 0  # how many values were tried per variable
    note: str = ""  # why a rule could not be checked

    def __str__(self) -> str:
        if self.note:
            return f"{self.name}: not checked: {self.note}"
        if self.ok:
            return f"{self.name}: sound on {self.samples} samples"
        where = ", ".join(f"?{k} = {v!r}" if not k.startswith("source:") else f"{k} = {v!r}"
                          for k, v in self.binding.items())
        return (f"{self.name}: fails at {where or 'every binding'}: {self.searcher} = {self.lhs!r}, "
                f"{self.applier} = {self.rhs!r}")


def check_rules(ruleset: object, *, ops: Mapping[str, Callable[..., Any]] | None = None, samples: int = 1000,
                seed: int = 0) -> list[RuleCheck]:
    """Checks every rule of `ruleset` (rule text, `(name, searcher, applier)` triples, or an object
    with a `rules` attribute of such triples) on random bindings; one result per rule, in order."""
    if isinstance(samples, bool) or not isinstance(samples, int) or samples < 1:
        raise ValueError(f"samples must be a positive int, not {samples!r}")
    table = make_table(ops)
    results = []
    for index, (name, searcher, applier) in enumerate(_triples(ruleset)):
        lhs = parse_pattern(searcher, f"rule {name!r}, searcher")
        rhs = parse_pattern(applier, f"rule {name!r}, applier")
        rng = np().random.default_rng([seed, index])
        results.append(_check(name, lhs, rhs, table, samples, rng))
    return results


def _check(name: str, lhs: Pattern, rhs: Pattern, table: Mapping[str, OpImpl], samples: int, rng: Any) -> RuleCheck:
    n_ = np()
    values: dict[str, None] = {}
    params: dict[str, set[str]] = {}
    literals: dict[str, list[Value]] = {}
    _walk(lhs, values, params, literals)
    _walk(rhs, values, params, literals)
    result = RuleCheck(name, True, searcher=show(lhs), applier=show(rhs), samples=samples)
    both = set(values) & set(params)
    if both:
        result.ok, result.note = False, f"?{sorted(both)[0]} is both a value and a parameter"
        return result
    static = _static_problem(lhs, table) or _static_problem(rhs, table)
    if static:
        result.ok, result.note = False, static
        return result
    domains = {var: _domain(keys, literals) for var, keys in sorted(params.items())}
    draws = 1 if not domains else min(32, max(4, samples // 32))
    per_draw = max(8, -(-samples // draws))
    py = random.Random(int(rng.integers(1 << 62)))
    failures: list[tuple[int, dict[str, Any], Any, Any]] = []
    checked = 0
    for _ in range(draws):
        env: dict[str, Any] = {var: py.choice(domain) for var, domain in domains.items()}
        for var in values:
            env[var] = _sample(rng, per_draw)
        outcome = _compare(lhs, rhs, env, values, table)
        if isinstance(outcome, str):
            result.ok, result.note = False, outcome
            return result
        if outcome is None:
            continue  # neither side takes these parameters
        checked += per_draw
        failures.extend(outcome)
    if not checked:
        result.ok, result.note = False, "no parameter value drawn suits both sides"
        return result
    result.samples = checked
    if failures:
        score, binding, a, b = min(failures, key=lambda f: f[0])
        result.ok, result.binding, result.lhs, result.rhs = False, binding, a, b
    return result


def _compare(lhs: Pattern, rhs: Pattern, env: dict[str, Any], values: Mapping[str, None],
             table: Mapping[str, OpImpl]) -> str | None | list[tuple[int, dict[str, Any], Any, Any]]:
    """The failures on one draw, scored (lower: simpler binding); None if both sides refuse the draw's
    parameters; a string if a side cannot be evaluated at all."""
    n_ = np()
    outs: list[Any] = []
    for side in (lhs, rhs):
        try:
            with n_.errstate(all="ignore"):
                outs.append(_evaluate(side, env, table))
        except _Unevaluable as e:
            return str(e)
        except (ValueError, TypeError) as e:
            outs.append(e)
    a, b = outs
    params = {k: v for k, v in env.items() if k not in values}
    if isinstance(a, Exception) or isinstance(b, Exception):
        if isinstance(a, Exception) and isinstance(b, Exception):
            return None
        return [(0, dict(params), _shown(a), _shown(b))]
    length = len(next(iter(env[v] for v in values))) if values else 1
    if n_.shape(a) == (length,) or n_.shape(b) == (length,) or not values:
        try:
            ok = _same(a, b)
        except ValueError:  # shapes that do not broadcast
            return [(0, dict(params), _shown(a), _shown(b))]
        bad = n_.flatnonzero(~ok.reshape(-1)) if ok.ndim else ([] if ok else [0])
        found = []
        for i in bad:
            binding = {v: float(env[v][i]) for v in values}
            binding.update(params)
            score = sum(_complexity(x) for x in binding.values() if isinstance(x, float))
            found.append((score * 10**9 + int(i), binding, _item(a, i), _item(b, i)))
        return found
    # Sides that reduce: the whole arrays are the binding.
    if bool(n_.all(_same(a, b))):
        return []
    binding = {v: env[v].tolist() for v in values}
    binding.update(params)
    return [(10**18, binding, _shown(a), _shown(b))]


def _item(v: Any, i: int) -> Any:
    n_ = np()
    v = n_.asarray(v)
    return float(v.reshape(-1)[i] if v.size > 1 else v.reshape(-1)[0])


def _shown(v: Any) -> Any:
    if isinstance(v, Exception):
        return f"{type(v).__name__}: {v}"
    n_ = np()
    if isinstance(v, (n_.ndarray, n_.generic)):
        return v.tolist()
    return v
