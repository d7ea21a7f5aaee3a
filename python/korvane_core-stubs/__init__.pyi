"""Type information for the korvane_core extension module.

The TypedDicts below describe the dicts the module returns; they exist only
for type checkers (import them under `if TYPE_CHECKING:`)."""

from typing import (
    Any,
    Callable,
    Literal,
    Mapping,
    NoReturn,
    Protocol,
    Sequence,
    SupportsIndex,
    TypedDict,
    final,
    type_check_only,
)

from typing_extensions import TypeAlias

_ParamValue: TypeAlias = int | float | bool | str
_Params: TypeAlias = dict[str, _ParamValue]
@type_check_only
class _IdArray(Protocol):
    """An array of node ids, such as a numpy integer array (typed without numpy)."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

_NodeIds: TypeAlias = Sequence[SupportsIndex] | _IdArray

@type_check_only
class DescriptorDict(TypedDict):
    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

@type_check_only
class ReductionReport(TypedDict):
    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

@type_check_only
class ReductionPhases(TypedDict):
    """Wall time of each phase of a reduction, in seconds."""

    snapshot: float
    reachability: float
    symbols: float
    load: float
    saturation: float
    extraction: float
    hash_consing: float
    fusion: float
    build: float

@type_check_only
class RewriteIteration(TypedDict):
    memo_size: int
    class_count: int
    applied: dict[str, int]
    rebuild_unions: int
    search_time: float
    apply_time: float
    rebuild_time: float
    total_time: float

@type_check_only
class RuleScheduling(TypedDict):
    # Iterations in which the scheduler passed the rule's matches on to be
    # applied, counting those that found none; the matches applied are in
    # each iteration's `applied`.
    times_applied: int
    # Times the scheduler banned the rule, and the iteration its ban ends.
    times_banned: int
    banned_until: int

@type_check_only
class ReductionProfile(ReductionReport):
    phases: ReductionPhases
    stop_reason: Literal["Saturated", "IterationLimit", "NodeLimit", "TimeLimit"]
    stop_payload: int | float | None
    iterations: list[RewriteIteration]
    rules: dict[str, RuleScheduling]
    limits: RewriteLimits

@type_check_only
class RewriteLimits(TypedDict):
    iteration_limit: int
    node_limit: int
    time_limit: float | None

@type_check_only
class Spread(TypedDict):
    """A distribution over nodes or stages: nearest-rank percentiles, None over an empty population."""

    max: int | None
    p50: int | None
    p99: int | None
    histogram: list[list[int]]

@type_check_only
class GraphStats(TypedDict):
    nodes: int
    edges: int
    kinds: dict[str, int]
    top_ops: list[list[str | int]]
    distinct_ops: int
    outputs: int
    reachable: int
    longest_path: int
    fan_in: Spread
    fan_out: Spread
    stages: int
    stage_members: Spread

@type_check_only
class MemberDict(TypedDict):
    kind: Literal["op", "red"]
    name: str
    params: _Params
    inputs: list[tuple[Literal["input", "member"], int]]

@type_check_only
class _NodeBase(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    name: str
    params: _Params

@type_check_only
class SourceNode(_NodeBase):
    kind: Literal["source"]

@type_check_only
class OpNode(_NodeBase):
    kind: Literal["op"]

@type_check_only
class ReductionNode(_NodeBase):
    kind: Literal["reduction"]

@type_check_only
class ExchangeNode(_NodeBase):
    kind: Literal["exchange"]

@type_check_only
class JoinNode(_NodeBase):
    kind: Literal["join"]

@type_check_only
class ExternalNode(_NodeBase):
    kind: Literal["external"]
    descriptor: DescriptorDict

@type_check_only
class StageNode(_NodeBase):
    kind: Literal["stage"]
    n_members: int
    members: list[MemberDict]

_NodeDict: TypeAlias = SourceNode | OpNode | ReductionNode | ExternalNode | StageNode | ExchangeNode | JoinNode
_NodeMapEntry: TypeAlias = tuple[int, int | None] | None
@type_check_only
class _BoolScalar(Protocol):
    """A numpy bool scalar, typed without numpy."""

    def __bool__(self) -> bool: ...
    def item(self) -> bool: ...

_FusionFlag: TypeAlias = bool | _BoolScalar

def version() -> str: ...
@final
class PayloadDescriptor:
    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...
    def __reduce__(
        self,
    ) -> tuple[Callable[..., PayloadDescriptor], tuple[type[PayloadDescriptor], tuple[()], DescriptorDict]]: ...

@final
class GraphStore:
    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: _Params | None = None) -> int: ...
    def add_op(self, name: str, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def add_reduction(self, name: str, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def add_external(
        self, descriptor: PayloadDescriptor | DescriptorDict | dict[str, str | None], inputs: _NodeIds,
        params: _Params | None = None,
    ) -> int: ...
    def add_exchange(self, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def add_join(self, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self, *, around: _NodeIds | None = None, depth: SupportsIndex = 2) -> str: ...
    def stats(self) -> GraphStats: ...
    def serialize(self, outputs: _NodeIds | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def nodes(self, ids: _NodeIds | None = None) -> list[_NodeDict]: ...
    def consumers(self, node: SupportsIndex) -> list[int]: ...
    def outputs(self) -> list[int]: ...
    def node_map(self) -> list[_NodeMapEntry]: ...
    def reduce(
        self, *, maximal_fusion: _FusionFlag = False, outputs: _NodeIds | None = None, rules: RuleSet | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduce_incremental(self, *, outputs: _NodeIds | None = None) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: _NodeIds | None = None, rules: RuleSet | None = None) -> ReductionReport: ...
    def reduction_profile(
        self, *, maximal_fusion: _FusionFlag = False, outputs: _NodeIds | None = None, rules: RuleSet | None = None
    ) -> ReductionProfile: ...
    def __reduce__(self) -> tuple[type[GraphStore], tuple[()], tuple[int, bytes, bytes]]: ...
    def __setstate__(self, state: tuple[int, bytes, bytes], /) -> None: ...

@final
class IncrementalReducer:
    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self,
        store: GraphStore,
        *,
        maximal_fusion: _FusionFlag = False,
        outputs: _NodeIds | None = None,
        rules: RuleSet | None = None,
    ) -> tuple[GraphStore, ReductionReport]: ...
    def __reduce__(self) -> NoReturn: ...

@final
class RuleSet:
    """User rewrite rules, compiled once: a text of `NAME: SEARCHER => APPLIER` lines
    (`<=>` for both ways) or (name, searcher, applier) triples."""

    def __new__(
        cls,
        rules: str | Sequence[tuple[str, str, str]],
        *,
        costs: Mapping[str, float] | None = None,
        iteration_limit: int = 12,
        node_limit: int | None = None,
        time_limit: float | None = 5.0,
    ) -> RuleSet: ...
    @property
    def rules(self) -> tuple[tuple[str, str, str], ...]: ...
    @property
    def costs(self) -> dict[str, float]: ...
    @property
    def iteration_limit(self) -> int: ...
    @property
    def node_limit(self) -> int | None: ...
    @property
    def time_limit(self) -> float | None: ...
    def __len__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
