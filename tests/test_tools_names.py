"""Loose names: matching, aliases and the one-line error for an unknown one."""

import pytest

from tonalis_tools.names import find_name


@pytest.mark.parametrize(
    "name, expected",
    [
        ("Floyd-Steinberg", "floyd_steinberg"),
        ("fs", "floyd_steinberg"),
        ("SIERRA 2", "sierra_two_row"),
    ],
)
def test_find_name_takes_loose_names_and_aliases(name, expected):
    names = ["floyd_steinberg", "sierra_two_row"]
    assert (
        find_name(name, names, "method", {"fs": "floyd_steinberg", "sierra2": "sierra_two_row"})
        == expected
    )


@pytest.mark.parametrize(
    "name, error, message",
    [
        (
            "floyd-stienberg",
            ValueError,
            r"^unknown method 'floyd-stienberg'; did you mean 'floyd_steinberg'\? "
            r"\(valid: floyd_steinberg, atkinson\)$",
        ),
        ("zzz", ValueError, r"^unknown method 'zzz' \(valid: floyd_steinberg, atkinson\)$"),
        (3, TypeError, r"^method name must be a str, got int$"),
    ],
)
def test_find_name_rejects_with_one_line(name, error, message):
    with pytest.raises(error, match=message):
        find_name(name, ["floyd_steinberg", "atkinson"], "method")
