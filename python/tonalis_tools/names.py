"""Loose names: how presets, methods, matrices and colours are matched."""

from __future__ import annotations

import difflib
from collections.abc import Iterable, Mapping

__all__ = ["normalize_name", "did_you_mean", "find_name"]


def normalize_name(name: str) -> str:
    """The form names are compared in: lower case, without '-', '_' or spaces.

    'Floyd-Steinberg', 'floyd_steinberg' and 'floyd steinberg' all give
    'floydsteinberg'.
    """
    return "".join(ch for ch in name.lower() if ch not in "-_ ")


def did_you_mean(name: str, choices: Iterable[str]) -> str:
    """ "; did you mean 'x'?" for the closest of `choices`, or "" when none is close."""
    by_key: dict[str, str] = {}
    for choice in choices:
        by_key.setdefault(normalize_name(choice), choice)
    close = difflib.get_close_matches(normalize_name(name), list(by_key), n=1, cutoff=0.6)
    return f"; did you mean {by_key[close[0]]!r}?" if close else ""


def find_name(
    name: object, names: Iterable[str], what: str, aliases: Mapping[str, str] | None = None
) -> str:
    """The one of `names` that `name` loosely spells, or that an alias of it stands for.

    Raises:
        TypeError: `name` is not a str.
        ValueError: no name or alias matches; the message names the value,
            the closest name and the valid ones.
    """
    if not isinstance(name, str):
        raise TypeError(f"{what} name must be a str, got {type(name).__name__}")
    choices = list(names)
    table = {normalize_name(choice): choice for choice in choices}
    for alias, target in (aliases or {}).items():
        table.setdefault(normalize_name(alias), target)
    found = table.get(normalize_name(name))
    if found is None:
        hint = did_you_mean(name, [*choices, *(aliases or {})])
        raise ValueError(f"unknown {what} {name!r}{hint} (valid: {', '.join(choices)})")
    return found
