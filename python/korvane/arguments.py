"""The argument types of the command: node ids and counts.

A rejected argument is echoed short, and a number past int()'s digit limit
gets a message of its own instead of the long one int() gives.
"""

from __future__ import annotations

import argparse
import re

from .text import safe


_IDS = re.compile(r"[0-9]+(,[0-9]+)*\Z")
_COUNT = re.compile(r"[0-9]+\Z")
_ECHO = 40  # characters of a rejected argument that a message repeats


def _echo(text: str) -> str:
    shown = text if len(text) <= _ECHO else text[:_ECHO] + "..."
    return safe(repr(shown))


def _number(text: str) -> int:
    """A whole number of digits; one past Python's digit limit for int() is too large for any id or count."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"number too large: {len(text.strip()):,} digits") from None


def parse_ids(text: str) -> list[int]:
    cleaned = ",".join(part.strip() for part in text.split(","))
    if not _IDS.match(cleaned):
        raise argparse.ArgumentTypeError(f"expected comma-separated node ids, got {_echo(text)}")
    return [_number(part) for part in cleaned.split(",")]


def parse_outputs(text: str) -> list[int]:
    return parse_ids(text) if text.strip(" ,") else []


def parse_id(text: str) -> int:
    if not _COUNT.match(text.strip()):
        raise argparse.ArgumentTypeError(f"expected a node id, got {_echo(text)}")
    return _number(text)


def parse_count(text: str) -> int:
    if not _COUNT.match(text.strip()):
        raise argparse.ArgumentTypeError(f"expected a whole number (0 or more), got {_echo(text)}")
    return _number(text)
