"""Tools around the korvane_core extension: the sample pipeline, the executor and the `korvane` command.

`execute` and `check_rules` need the package's extras (numpy and friends);
`import korvane` does not: they load their libraries when first called.
"""

from __future__ import annotations

from typing import Any

__all__ = ["execute", "Program", "check_rules", "RuleCheck", "MissingDependency"]


def __getattr__(name: str) -> Any:
    if name in ("execute", "Program"):
        from . import executor as module
        return getattr(module, name)
    if name in ("check_rules", "RuleCheck"):
        from . import check
        return getattr(check, name)
    if name == "MissingDependency":
        from ._optional import MissingDependency
        return MissingDependency
    raise AttributeError(f"module 'korvane' has no attribute {name!r}")
