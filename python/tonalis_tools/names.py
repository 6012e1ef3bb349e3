"""Loose names: how presets, methods, matrices and colours are matched."""

from __future__ import annotations

import difflib
from collections.abc import Iterable, Mapping

__all__ = ["normalize_name", "did_you_mean", "find_name"]


def normalize_name(name: str) -> str:
    """The form names are compared in: lower case, without '-', '_' or spaces.

    Args:
        name: a method, preset, matrix or colour name as a person typed it.

    Returns:
        The name in lower case with every '-', '_' and space taken out.

    Examples:
        >>> normalize_name("Floyd-Steinberg")
        'floydsteinberg'
        >>> normalize_name("floyd_steinberg") == normalize_name("floyd steinberg")
        True
    """
    return "".join(ch for ch in name.lower() if ch not in "-_ ")


def did_you_mean(name: str, choices: Iterable[str]) -> str:
    """A hint for an unknown name: the closest of `choices`, compared loosely.

    Args:
        name: the name that matched nothing.
        choices: the valid names.

    Returns:
        "; did you mean 'x'?" for the closest choice, or "" when none is close.

    Examples:
        >>> did_you_mean("atkinsn", ["atkinson", "burkes"])
        "; did you mean 'atkinson'?"
        >>> did_you_mean("zzz", ["atkinson", "burkes"])
        ''
    """
    by_key: dict[str, str] = {}
    for choice in choices:
        by_key.setdefault(normalize_name(choice), choice)
    close = difflib.get_close_matches(normalize_name(name), list(by_key), n=1, cutoff=0.6)
    return f"; did you mean {by_key[close[0]]!r}?" if close else ""


def find_name(
    name: object, names: Iterable[str], what: str, aliases: Mapping[str, str] | None = None
) -> str:
    """The one of `names` that `name` loosely spells, or that an alias of it stands for.

    Args:
        name: the name to look up; case, '-', '_' and spaces do not matter.
        names: the valid names, as they are returned.
        what: what the names are, for the error message ('preset', ...).
        aliases: other spellings, each mapped to one of `names`.

    Returns:
        The matching entry of `names`.

    Raises:
        TypeError: `name` is not a str.
        ValueError: no name or alias matches; the message names the value,
            the closest name and the valid ones.

    Examples:
        >>> find_name("Game Boy", ["gameboy", "pico8"], "preset")
        'gameboy'
        >>> find_name("fs", ["floyd_steinberg"], "method", {"fs": "floyd_steinberg"})
        'floyd_steinberg'
        >>> find_name("gamebox", ["gameboy", "pico8"], "preset")
        Traceback (most recent call last):
        ...
        ValueError: unknown preset 'gamebox'; did you mean 'gameboy'? (valid: gameboy, pico8)
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
