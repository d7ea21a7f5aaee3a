"""Type information for the korvane_core extension module."""

from typing import Literal, Sequence, SupportsIndex, TypedDict, final

import numpy as np
from typing_extensions import TypeAlias

ParamValue: TypeAlias = int | float | bool | str
Params: TypeAlias = dict[str, ParamValue]
NodeIds: TypeAlias = Sequence[SupportsIndex]

class DescriptorDict(TypedDict):
    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

class ReductionReport(TypedDict):
    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

class MemberDict(TypedDict):
    kind: Literal["op", "red"]
    name: str
    params: Params
    inputs: list[tuple[Literal["input", "member"], int]]

class _NodeBase(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    name: str
    params: Params

class SourceNode(_NodeBase):
    kind: Literal["source"]

class OpNode(_NodeBase):
    kind: Literal["op"]

class ReductionNode(_NodeBase):
    kind: Literal["reduction"]

class ExchangeNode(_NodeBase):
    kind: Literal["exchange"]

class JoinNode(_NodeBase):
    kind: Literal["join"]

class ExternalNode(_NodeBase):
    kind: Literal["external"]
    descriptor: DescriptorDict

class StageNode(_NodeBase):
    kind: Literal["stage"]
    n_members: int
    members: list[MemberDict]

NodeDict: TypeAlias = SourceNode | OpNode | ReductionNode | ExternalNode | StageNode | ExchangeNode | JoinNode
NodeMapEntry: TypeAlias = tuple[int, int | None] | None
FusionFlag: TypeAlias = bool | np.bool_

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

@final
class GraphStore:
    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: Params | None = None) -> int: ...
    def add_op(self, name: str, inputs: NodeIds, params: Params | None = None) -> int: ...
    def add_reduction(self, name: str, inputs: NodeIds, params: Params | None = None) -> int: ...
    def add_external(
        self, descriptor: PayloadDescriptor | DescriptorDict | dict[str, str | None], inputs: NodeIds,
        params: Params | None = None,
    ) -> int: ...
    def add_exchange(self, inputs: NodeIds, params: Params | None = None) -> int: ...
    def add_join(self, inputs: NodeIds, params: Params | None = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: NodeIds | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def nodes(self) -> list[NodeDict]: ...
    def outputs(self) -> list[int]: ...
    def node_map(self) -> list[NodeMapEntry]: ...
    def reduce(
        self, *, maximal_fusion: FusionFlag = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduce_incremental(self, *, outputs: NodeIds | None = None) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: NodeIds | None = None) -> ReductionReport: ...

@final
class IncrementalReducer:
    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: FusionFlag = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
