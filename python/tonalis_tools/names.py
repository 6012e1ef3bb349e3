"""Loose names: how presets, methods, matrices and colours are matched."""

from __future__ import annotations

import difflib
from collections.abc import Iterable

__all__ = ["normalize_name", "did_you_mean"]


def normalize_name(name: str) -> str:
    """The form names are compared in: lower case, without '-', '_' or spaces.

    'Floyd-Steinberg', 'floyd_steinberg' and 'floyd steinberg' all give
    'floydsteinberg'.
    """
    return "".join(ch for ch in name.lower() if ch not in "-_ ")


def did_you_mean(name: str, choices: Iterable[str]) -> str:
    """"; did you mean 'x'?" for the closest of `choices`, or "" when none is close."""
    by_key: dict[str, str] = {}
    for choice in choices:
        by_key.setdefault(normalize_name(choice), choice)
    close = difflib.get_close_matches(normalize_name(name), list(by_key), n=1, cutoff=0.6)
    return f"; did you mean {by_key[close[0]]!r}?" if close else ""
