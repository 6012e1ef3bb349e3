"""The Python examples of the README and of the documentation's pages run.

Every ```python block of README.md and docs/**/*.md is run on its own, in a
fresh namespace, in a temporary folder holding the files the examples open
(a small photo.png, sprite.png, scan16.png, clip.gif and a palette file), so
that an example that no longer matches the API fails here. A block that
cannot run here (one that needs Dask, a cluster or files of the reader's)
is marked by a comment on the line before it:

    <!-- docs-test: skip: the reason -->

The `tonalis` command lines of the README's and the guides' ```bash blocks
run too, in the same folder (which then also holds photo.jpg, anim.gif,
label.png and logo.png); the other lines of those blocks (installing,
building) are not examples and are left out.
"""

from __future__ import annotations

import re
import shlex
from pathlib import Path

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")

ROOT = Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^(`{3,})python\s*$")
SKIP = re.compile(r"^<!--\s*docs-test:\s*skip:\s*(\S.*?)\s*-->$")


def pages() -> list[Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def blocks(page: Path) -> list[tuple[int, str, str | None]]:
    """(line of the fence, code, reason to skip or None) for each python block."""
    lines = page.read_text(encoding="utf-8").splitlines()
    found = []
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        start = i
        end = start + 1
        while end < len(lines) and lines[end].strip() != opening.group(1):
            end += 1
        if end == len(lines):
            raise AssertionError(f"{page.name}:{start + 1}: the python block never closes")
        before = next((lines[j].strip() for j in range(start - 1, -1, -1) if lines[j].strip()), "")
        skip = SKIP.match(before)
        found.append((start + 1, "\n".join(lines[start + 1 : end]) + "\n", skip and skip.group(1)))
        i = end + 1
    return found


def examples() -> list[pytest.param]:
    params = []
    for page in pages():
        for line, code, skip in blocks(page):
            name = f"{page.relative_to(ROOT)}:{line}"
            marks = [pytest.mark.skip(reason=skip)] if skip else []
            params.append(pytest.param(page, line, code, id=name, marks=marks))
    return params


def photo(height: int, width: int) -> np.ndarray:
    """A smooth colour picture with some detail, made without random state."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    r = 128 + 110 * np.sin(x / 17.0) * np.cos(y / 23.0)
    g = 255 * x / (width - 1)
    b = 255 * y / (height - 1)
    return np.dstack([r, g, b]).clip(0, 255).round().astype(np.uint8)


@pytest.fixture
def folder(tmp_path, monkeypatch):
    rgb = photo(120, 160)
    Image.fromarray(rgb).save(tmp_path / "photo.png")
    sprite = np.dstack(
        [
            photo(32, 32),
            np.where(np.arange(32) % 8 < 6, 255, 0).astype(np.uint8)[None, :].repeat(32, 0),
        ]
    )
    Image.fromarray(sprite, "RGBA").save(tmp_path / "sprite.png")
    wide = (np.linspace(0, 65535, 64 * 48).reshape(48, 64)).astype(np.uint16)
    Image.fromarray(wide).save(tmp_path / "scan16.png")
    frames = [Image.fromarray(np.roll(rgb, 4 * k, axis=1)) for k in range(3)]
    frames[0].save(tmp_path / "clip.gif", save_all=True, append_images=frames[1:], duration=80)
    Image.fromarray(rgb).save(tmp_path / "photo.jpg", quality=90)
    frames[0].save(tmp_path / "anim.gif", save_all=True, append_images=frames[1:], duration=80)
    label = np.where((np.arange(96)[None, :] // 8 + np.arange(64)[:, None] // 8) % 2, 40, 220)
    Image.fromarray(label.astype(np.uint8)).save(tmp_path / "label.png")
    Image.fromarray(label.astype(np.uint8)[:32, :48]).convert("1").save(tmp_path / "logo.png")
    hexes = [f"{(37 * k) % 256:02x}{(91 * k) % 256:02x}{(53 * k) % 256:02x}" for k in range(32)]
    (tmp_path / "endesga-32.hex").write_text("\n".join(hexes) + "\n")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize(("page", "line", "code"), examples())
def test_example_runs(folder, page, line, code):
    compiled = compile(code, f"{page}:{line}", "exec")
    exec(compiled, {"__name__": "docs_example"})


COMMAND_PAGES = [ROOT / "README.md", *sorted((ROOT / "docs" / "guides").glob("*.md"))]
SHELL_FENCE = re.compile(r"^(`{3,})(bash|sh|console|shell)\s*$")


def commands() -> list[pytest.param]:
    """One param per `tonalis` line of the shell blocks of COMMAND_PAGES."""
    params = []
    for page in COMMAND_PAGES:
        lines = page.read_text(encoding="utf-8").splitlines()
        fence = None
        for number, text in enumerate(lines, 1):
            if fence is None:
                opening = SHELL_FENCE.match(text)
                fence = opening.group(1) if opening else None
            elif text.strip() == fence:
                fence = None
            elif text.startswith("tonalis "):
                name = f"{page.relative_to(ROOT)}:{number}"
                params.append(pytest.param(text, id=name))
    return params


@pytest.mark.parametrize("line", commands())
def test_command_line_runs(folder, line, capsys):
    from tonalis_tools.cli import main

    argv = shlex.split(line, comments=True)
    status = main(argv[1:])
    assert status == 0, capsys.readouterr().err
    # Every output the line names was written.
    outputs = [argv[i + 1] for i, arg in enumerate(argv) if arg in ("-o", "--output")]
    for output in outputs:
        assert (folder / output).is_file() and (folder / output).stat().st_size > 0


def test_the_pages_have_command_examples():
    # A renamed fence (```shell, ```text) would leave a guide's commands untested.
    pages_with = {param.id.rsplit(":", 1)[0] for param in commands()}
    assert "README.md" in pages_with
    for guide in ("epaper", "printers", "panels", "pixel-art", "animation"):
        assert f"docs/guides/{guide}.md" in pages_with, guide


def test_the_pages_have_examples():
    # The README and every guide show Python; a fence the reader above did
    # not recognise (```py, a missing language) would leave a page untested.
    with_code = {p.relative_to(ROOT).as_posix() for p in pages() if blocks(p)}
    guides = ("epaper", "printers", "panels", "pixel-art", "animation")
    for name in ("README.md", "docs/index.md", *(f"docs/guides/{g}.md" for g in guides)):
        assert name in with_code, f"{name} has no python example"


def test_a_skip_needs_a_reason():
    for page in pages():
        for number, text in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
            if text.lstrip().startswith("<!--") and "docs-test" in text:
                assert SKIP.match(text.strip()), (
                    f"{page.name}:{number}: write <!-- docs-test: skip: why -->"
                )


def test_relative_links_lead_to_files():
    # The README's links and the pages' links to pictures and other pages
    # are followed on a code host as paths: each must name a file or folder
    # of the tree (the site's build checks its own cross-references too).
    link = re.compile(r"\]\(([^)\s]+)\)")
    for page in pages():
        for number, text in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
            for target in link.findall(text):
                if re.match(r"[a-z]+:", target) or target.startswith("#"):
                    continue
                path = (page.parent / target.split("#", 1)[0]).resolve()
                assert path.exists(), f"{page.relative_to(ROOT)}:{number}: no {target}"
