"""How close a dither looks to its original: an objective quality figure for
tonalis_tools.diffuse, ordered and random with and without their
refinements, beside Pillow's Floyd-Steinberg quantize.

The figures are those of `tonalis_tools.quality`: the blurred Oklab
distance x 100 (both images blurred with a Gaussian of sigma 1.2 pixels in
linear light, converted to Oklab, the Euclidean distance averaged over the
pixels) and S-CIELAB's mean Delta E at 35 pixels per degree. Lower is
better; 1 is about the smallest difference people notice between two flat
colours.

    python3 bench/quality.py                     # the table, as Markdown
    python3 bench/quality.py --json out.json
    python3 bench/quality.py --sheet docs/data/quality_defaults.png
    python3 bench/quality.py --one-hue-sheet docs/_static/one_hue.png
    python3 bench/quality.py --only flicker      # one table: defaults, flicker or one-hue
    python3 bench/quality.py --only panels       # every panel's default, Pillow, ImageMagick

Inputs: the bundled photograph and a colour gradient (hue across, lightness
down). Needs numpy and Pillow.

The first table is the defaults one: for every preset and panel, what
`tonalis_tools.dither` gave before the palettes' profiles (plain sRGB
Floyd-Steinberg, as `exact=True` still gives), what it gives now, Pillow's
Floyd-Steinberg quantize, and the best of every combination of linear
light, serpentine scan, error limit and distance, on both figures.

Two more tables: black and white from the gray photograph and a gray ramp
(Floyd-Steinberg beside the variable-coefficient and Riemersma dithers),
and the flicker figure of animations: the share of pixels that change
between consecutive frames of a slow pan across the photograph (one
pixel a frame) and of a slow zoom into it (1 % a frame), for plain and
stable error diffusion and ordered dither, with the quality figure over
the clip and of its last frame.
And one-hue palettes (the Game Boy's greens, a sepia ramp) dithered in RGB
and by luminance: how far the blurred luma of the result is from the
photograph's luma mapped onto the palette's range.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np
from PIL import Image

import tonalis
from tonalis_tools import (
    diffuse,
    dither,
    dither_frames,
    ordered,
    panel_names,
    panel_palette,
    pattern_dither,
    preset,
    preset_names,
    recolor,
    riemersma,
    variable_diffuse,
)
from tonalis_tools import random as random_dither
from tonalis_tools.front import default_profile
from tonalis_tools.gallery import sample_photo
from tonalis_tools.quality import _blur as gaussian_blur  # the figure's own blur
from tonalis_tools.quality import colour_gradient, score, scores

PALETTES = ["epaper-7", "epaper-bwr", "epaper-bwy", "cga", "gameboy", "pico8"]
# (label, family, options); the first row of each family is its plain form.
VARIANTS: list[tuple[str, str, dict[str, Any]]] = [
    ("FS", "fs", {}),
    ("FS, linear", "fs", {"linear": True}),
    ("FS, limit 16", "fs", {"error_limit": 16}),
    ("FS, luma", "fs", {"distance": "luma"}),
    ("FS, oklab", "fs", {"distance": "oklab"}),
    ("FS, limit 16, luma", "fs", {"error_limit": 16, "distance": "luma"}),
    ("FS, linear, limit 16", "fs", {"linear": True, "error_limit": 16}),
    ("FS, linear, luma", "fs", {"linear": True, "distance": "luma"}),
    ("FS, linear, limit 16, luma", "fs", {"linear": True, "error_limit": 16, "distance": "luma"}),
    ("FS, linear, oklab", "fs", {"linear": True, "distance": "oklab"}),
    ("ordered 8x8", "ordered", {}),
    ("ordered 8x8, oklab", "ordered", {"distance": "oklab"}),
    ("ordered 8x8, linear", "ordered", {"linear": True}),
    ("random", "random", {}),
    ("random, oklab", "random", {"distance": "oklab"}),
    ("pattern 8x8 (linear)", "pattern", {}),
    ("pattern 8x8, codes", "pattern", {"linear": False}),
    ("pattern blue noise (linear)", "pattern", {"matrix": "bluenoise64"}),
    ("Riemersma", "riemersma", {}),
    ("Riemersma, linear", "riemersma", {"linear": True}),
]


def pillow_fs(image: np.ndarray, colours: list[str]) -> np.ndarray:
    flat: list[int] = []
    for c in colours:
        flat += [int(c[i : i + 2], 16) for i in (1, 3, 5)]
    pal = Image.new("P", (1, 1))
    pal.putpalette(flat + flat[:3] * (256 - len(colours)))
    out = Image.fromarray(image).quantize(palette=pal, dither=Image.Dither.FLOYDSTEINBERG)
    return np.asarray(out.convert("RGB"))


def run_variant(
    family: str, image: np.ndarray, colours: list[str], options: dict[str, Any]
) -> np.ndarray:
    if family == "fs":
        return diffuse(image, "floyd_steinberg", palette=colours, **options)
    if family == "ordered":
        return ordered(image, "bayer8x8", palette=colours, **options)
    if family == "pattern":
        return pattern_dither(image, colours, **options)
    if family == "riemersma":
        return riemersma(image, palette=colours, **options)
    return random_dither(image, palette=colours, seed=1, **options)


def inputs() -> dict[str, np.ndarray]:
    return {"photo": np.asarray(sample_photo(384)), "gradient": colour_gradient()}


def table(images: dict[str, np.ndarray]) -> list[dict[str, Any]]:
    rows = []
    for pal in PALETTES:
        colours = preset(pal)
        results: list[tuple[str, Callable[[np.ndarray], np.ndarray]]] = [
            ("Pillow FS quantize", lambda img: pillow_fs(img, colours))
        ]
        for label, family, options in VARIANTS:
            results.append(
                (label, lambda img, f=family, o=options: run_variant(f, img, colours, o))
            )
        figures = {
            name: scores(img, [fn(img) for _, fn in results]) for name, img in images.items()
        }
        for i, (label, _) in enumerate(results):
            row = {name: figures[name][i] for name in images}
            rows.append(
                {"palette": pal, "variant": label, **row, "mean": sum(row.values()) / len(row)}
            )
    return rows


GRAY_VARIANTS: list[tuple[str, Callable[[np.ndarray], np.ndarray]]] = [
    ("FS", lambda img: tonalis.error_diffusion(img)),
    ("FS, serpentine", lambda img: tonalis.error_diffusion(img, serpentine=True)),
    ("Ostromoukhov", lambda img: variable_diffuse(img, "ostromoukhov")),
    ("Zhou-Fang", lambda img: variable_diffuse(img, "zhou_fang")),
    ("Riemersma", lambda img: riemersma(img)),
    ("ordered 8x8", lambda img: tonalis.ordered_dither(img)),
]


def gray_table(images: dict[str, np.ndarray]) -> list[dict[str, Any]]:
    """Black and white from gray versions of the inputs plus a gray ramp."""
    grays = {name: np.asarray(Image.fromarray(img).convert("L")) for name, img in images.items()}
    grays["ramp"] = np.tile(np.linspace(0, 255, 384).round().astype(np.uint8), (128, 1))
    figures = {name: scores(g, [fn(g) for _, fn in GRAY_VARIANTS]) for name, g in grays.items()}
    rows = []
    for i, (label, _) in enumerate(GRAY_VARIANTS):
        row = {name: figures[name][i] for name in grays}
        rows.append({"variant": label, **row, "mean": sum(row.values()) / len(row)})
    return rows


def pan_frames(photo: np.ndarray, count: int = 24, width: int = 256) -> list[np.ndarray]:
    """A slow pan across the gray photograph, one pixel a frame."""
    gray = np.asarray(Image.fromarray(photo).convert("L"))
    return [np.ascontiguousarray(gray[:, i : i + width]) for i in range(count)]


def zoom_frames(photo: np.ndarray, count: int = 24, width: int = 256) -> list[np.ndarray]:
    """A slow zoom into the middle of the gray photograph, 1 % a frame."""
    gray = Image.fromarray(photo).convert("L")
    height = width * 3 // 4
    frames = []
    for i in range(count):
        scale = 1.0 + 0.01 * i
        w, h = width / scale, height / scale
        x, y = (gray.width - w) / 2, (gray.height - h) / 2
        box = (x, y, x + w, y + h)
        frames.append(np.asarray(gray.resize((width, height), Image.Resampling.BILINEAR, box=box)))
    return frames


def flicker_table(photo: np.ndarray) -> list[dict[str, Any]]:
    """Share of pixels changing between frames, and the quality figure: the
    mean over the frames and the last frame's (kept pixels that lag behind
    the picture show as a figure that grows along the clip)."""
    runs = [
        ("FS", "floyd_steinberg", False),
        ("FS, stable", "floyd_steinberg", True),
        ("Ostromoukhov, stable", "ostromoukhov", True),
        ("ordered 8x8", "bayer8x8", False),
        ("blue noise 64", "bluenoise64", False),
    ]
    rows = []
    for clip, frames in (("pan", pan_frames(photo)), ("zoom", zoom_frames(photo))):
        for label, method, stable in runs:
            outs = dither_frames(frames, method, stable=stable)
            changed = np.mean([np.mean(a != b) for a, b in zip(outs, outs[1:])])
            figures = [score(frame, out) for frame, out in zip(frames, outs)]
            rows.append(
                {
                    "clip": clip,
                    "variant": label,
                    "flicker": float(changed),
                    "quality": float(np.mean(figures)),
                    "last": figures[-1],
                }
            )
    return rows


def print_flicker(photo: np.ndarray) -> list[dict[str, Any]]:
    flicker = flicker_table(photo)
    print("\n| clip | animation | pixels changing per frame | vs FS | quality | last frame |")
    print("|---|---|--:|--:|--:|--:|")
    for row in flicker:
        base = next(
            r["flicker"] for r in flicker if r["variant"] == "FS" and r["clip"] == row["clip"]
        )
        print(
            f"| {row['clip']} | {row['variant']} | {row['flicker'] * 100:.2f} % | "
            f"{base / max(row['flicker'], 1e-9):.1f}x fewer | {row['quality']:.2f} | "
            f"{row['last']:.2f} |"
        )
    return flicker


def print_one_hue(rows: list[dict[str, Any]]) -> None:
    print("\n| one-hue palette | variant | luma error | darkest colour | lightest colour |")
    print("|---|---|--:|--:|--:|")
    for row in rows:
        print(
            f"| {row['palette']} | {row['variant']} | {row['luma error']:.2f} | "
            f"{row['darkest'] * 100:.1f} % | {row['lightest'] * 100:.1f} % |"
        )


# Every combination the defaults are chosen from.
GRID: list[dict[str, Any]] = [
    {"linear": linear, "serpentine": serpentine, "error_limit": limit, "distance": distance}
    for linear in (False, True)
    for serpentine in (False, True)
    for limit in (None, 8, 16, 24, 32)
    for distance in ("rgb", "luma", "oklab")
]


def setting_label(options: dict[str, Any]) -> str:
    parts = ["linear"] * options["linear"] + ["serpentine"] * options["serpentine"]
    if options["error_limit"] is not None:
        parts.append(f"error limit {options['error_limit']}")
    if options["distance"] != "rgb":
        parts.append(options["distance"])
    return ", ".join(parts) or "sRGB"


def defaults_table(images: dict[str, np.ndarray]) -> list[dict[str, Any]]:
    """Old default, new default, Pillow, the best of ImageMagick's remaps (when
    it is installed) and the best of GRID, per preset and panel.

    Every result is scored in the colours dithered to (a panel's measured
    ones); the best setting is the one with the lowest sum of its two
    figures, each relative to the old default's.
    """
    named = [("preset", name, preset(name)) for name in preset_names()] + [
        ("panel", name, panel_palette(name)) for name in panel_names()
    ]
    magick = imagemagick()
    rows = []
    for kind, name, colours in named:
        driver = panel_palette(name, measured=False) if kind == "panel" else colours

        def new(img: np.ndarray, kind: str = kind, name: str = name) -> np.ndarray:
            out = dither(img, **{kind: name})
            return out if driver == colours else recolor(out, driver, colours)

        candidates: list[tuple[str, str, Callable[[np.ndarray], np.ndarray]]] = [
            ("old default", "sRGB", lambda img: tonalis.dither(img, palette=colours)),
            ("new default", default_profile(**{kind: name}).describe(), new),
            ("Pillow FS quantize", "", lambda img: pillow_fs(img, colours)),
        ]
        peers = 1
        if magick is not None:
            candidates += [
                (
                    "ImageMagick remap (best)",
                    f"{method}, {space}",
                    lambda img, m=method, s=space, c=magick: imagemagick_remap(
                        c, img, colours, m, s
                    ),
                )
                for method, space in IMAGEMAGICK_REMAPS
            ]
            peers += len(IMAGEMAGICK_REMAPS)
        grid_from = 2 + peers
        candidates += [
            ("grid", setting_label(o), lambda img, o=o: diffuse(img, palette=colours, **o))
            for o in GRID
        ]
        figures = []
        for _, _, fn in candidates:
            outs = {key: fn(img) for key, img in images.items()}
            figures.append(
                {
                    metric: float(np.mean([score(images[k], outs[k], metric) for k in images]))
                    for metric in ("oklab", "scielab")
                }
            )
        old = figures[0]

        def best_of(first: int, last: int) -> int:
            return min(
                range(first, last),
                key=lambda i: sum(figures[i][m] / old[m] for m in ("oklab", "scielab")),
            )

        shown = [0, 1, 2]
        if peers > 1:
            shown.append(best_of(3, grid_from))
        shown.append(best_of(grid_from, len(candidates)))
        best = shown[-1]
        for i in shown:
            label, setting, _ = candidates[i]
            rows.append(
                {
                    "palette": f"{kind} {name}" if kind == "panel" else name,
                    "variant": "best" if i == best else label,
                    "setting": setting,
                    **figures[i],
                }
            )
    return rows


def defaults_markdown(rows: list[dict[str, Any]]) -> str:
    lines = [
        "| palette | variant | setting | oklab | scielab |",
        "|---|---|---|--:|--:|",
    ]
    for row in rows:
        lines.append(
            f"| {row['palette']} | {row['variant']} | {row['setting']} | "
            f"{row['oklab']:.2f} | {row['scielab']:.2f} |"
        )
    return "\n".join(lines)


def pct(value: float, base: float) -> str:
    return f"{(value / base - 1) * 100:+.0f} %"


def markdown(rows: list[dict[str, Any]]) -> str:
    names = [k for k in rows[0] if k not in ("palette", "variant", "mean")]
    lines = [
        "| palette | variant | "
        + " | ".join(names)
        + " | mean | vs FS | vs FS, linear | vs Pillow |",
        "|---|---|" + "--:|" * (len(names) + 4),
    ]
    for row in rows:
        same = [r for r in rows if r["palette"] == row["palette"]]
        plain = next(r["mean"] for r in same if r["variant"] == "FS")
        linear = next(r["mean"] for r in same if r["variant"] == "FS, linear")
        pillow = next(r["mean"] for r in same if r["variant"] == "Pillow FS quantize")
        cells = " | ".join(f"{row[n]:.2f}" for n in names)
        lines.append(
            f"| {row['palette']} | {row['variant']} | {cells} | {row['mean']:.2f} | "
            f"{pct(row['mean'], plain)} | {pct(row['mean'], linear)} | {pct(row['mean'], pillow)} |"
        )
    return "\n".join(lines)


def sheet(images: dict[str, np.ndarray], path: str) -> None:
    """The old default, Pillow's Floyd-Steinberg and the new default per palette.

    A panel's results are shown in its measured colours, as it shows them.
    """
    from tonalis_tools.sheet import contact_sheet

    photo = images["photo"][32:224, 96:288]
    labels = ["old default", "Pillow FS", "new default"]
    cells: list[tuple[str, Image.Image]] = []
    for kind, name in (
        ("preset", "epaper-7"),
        ("preset", "cga"),
        ("preset", "gameboy"),
        ("panel", "spectra6"),
        ("panel", "acep7"),
    ):
        colours = preset(name) if kind == "preset" else panel_palette(name)
        driver = colours if kind == "preset" else panel_palette(name, measured=False)
        new = dither(photo, **{kind: name})
        results = [
            tonalis.dither(photo, palette=colours),
            pillow_fs(photo, colours),
            new if driver == colours else recolor(new, driver, colours),
        ]
        cells.append(("original", Image.fromarray(photo)))
        cells += [(f"{name}: {label}", Image.fromarray(r)) for label, r in zip(labels, results)]
    contact_sheet(cells, columns=4, title="Floyd-Steinberg defaults on small palettes").save(path)


ONE_HUE = {
    "gameboy": None,
    "sepia": ["#1b1008", "#4a2f1a", "#8a6240", "#c9a57a", "#f3e4c8"],
}


def one_hue_table(photo: np.ndarray) -> list[dict[str, Any]]:
    """One-hue palettes dithered in RGB and by luminance: how far the blurred
    luma of the result is from the photograph's luma mapped onto the
    palette's range, and how much of the picture each end colour covers."""
    from tonalis_tools import dither
    from tonalis_tools.tone import LuminanceRamp, palette_luma

    gray = np.asarray(Image.fromarray(photo).convert("L"))
    rows = []
    for name, colours in ONE_HUE.items():
        colours = colours or preset(name)
        ramp = LuminanceRamp.of(colours)
        assert ramp is not None
        target = gaussian_blur(ramp.table[gray].astype(np.float64)[:, :, None])
        luma = dict(zip(colours, palette_luma(colours).tolist()))
        for method in ("floyd_steinberg", "bluenoise64"):
            for by_luminance in (False, True):
                out = dither(photo, method, palette=colours, luminance=by_luminance)
                hexes = np.array(["#" + bytes(p).hex() for p in out.reshape(-1, 3).tolist()])
                codes = np.vectorize(luma.get)(hexes).reshape(gray.shape).astype(np.float64)
                error = np.abs(gaussian_blur(codes[:, :, None]) - target).mean()
                rows.append(
                    {
                        "palette": name,
                        "variant": f"{method}, {'luminance' if by_luminance else 'RGB'}",
                        "luma error": float(error),
                        "darkest": float(np.mean(hexes == colours[0])),
                        "lightest": float(np.mean(hexes == colours[-1])),
                    }
                )
    return rows


def one_hue_sheet(photo: np.ndarray, path: str) -> None:
    """The photograph on one-hue palettes, dithered in RGB and by luminance."""
    from tonalis_tools import dither
    from tonalis_tools.sheet import contact_sheet

    cells: list[tuple[str, Image.Image]] = []
    for name, colours in ONE_HUE.items():
        colours = colours or preset(name)
        cells.append((f"{name}: original", Image.fromarray(photo)))
        for method, label in (("floyd_steinberg", "FS"), ("bluenoise64", "blue noise")):
            for by_luminance in (False, True):
                out = dither(photo, method, palette=colours, luminance=by_luminance)
                how = "luminance" if by_luminance else "RGB"
                cells.append((f"{label}, {how}", Image.fromarray(out)))
    title = "One-hue palettes: RGB error diffusion beside dithering by luminance"
    contact_sheet(cells, columns=5, title=title).save(path, optimize=True)


def imagemagick() -> list[str] | None:
    """The ImageMagick command ('magick' or 'convert'), or None when it is not installed."""
    for command in (["magick"], ["convert"]):
        if shutil.which(command[0]) is None:
            continue
        try:
            version = subprocess.run(
                [*command, "-version"], capture_output=True, text=True, timeout=30
            ).stdout
        except (OSError, subprocess.SubprocessError):
            continue
        if "ImageMagick" in version:
            return command
    return None


def imagemagick_remap(
    command: list[str],
    image: np.ndarray,
    colours: list[str],
    method: str = "FloydSteinberg",
    space: str = "sRGB",
) -> np.ndarray:
    """ImageMagick's remap onto the palette, dithered by `method`
    (FloydSteinberg or Riemersma) in colour space `space` (sRGB, RGB for
    linear light, or Lab): image and palette both converted to it. The
    result is snapped to the palette's exact colours, which the trip back
    to sRGB can miss by a code."""
    swatch = np.array([[[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours]], np.uint8)
    with tempfile.TemporaryDirectory() as folder:
        source, palette, out = (os.path.join(folder, n) for n in ("in.png", "pal.png", "out.png"))
        Image.fromarray(image).convert("RGB").save(source)
        Image.fromarray(swatch).save(palette)
        if space == "sRGB":
            remap = ["-dither", method, "-remap", palette]
        else:
            remap = ["-colorspace", space, "-dither", method]
            remap += ["(", palette, "-colorspace", space, "-write", "mpr:palette", "+delete", ")"]
            remap += ["-remap", "mpr:palette", "-colorspace", "sRGB"]
        subprocess.run(
            [*command, source, *remap, "-depth", "8", out], check=True, capture_output=True
        )
        got = np.asarray(Image.open(out).convert("RGB")).astype(np.int32)
    codes = swatch[0].astype(np.int32)
    nearest = ((got[:, :, None, :] - codes[None, None]) ** 2).sum(axis=-1).argmin(axis=-1)
    return swatch[0][nearest]


# ImageMagick's remaps the defaults are measured against: its two dithers,
# in sRGB, linear light and Lab.
IMAGEMAGICK_REMAPS = [
    (method, space)
    for method in ("FloydSteinberg", "Riemersma")
    for space in ("sRGB", "RGB", "Lab")
]


def panels_table(images: dict[str, np.ndarray]) -> list[dict[str, Any]]:
    """Every panel: its default (the profile, with its tone map), the profile
    without the map, Pillow and (when installed) ImageMagick, on both figures,
    scored in the colours the panel shows. Gray inputs (the photograph's luma
    and a ramp) show the gray-photo detector on the colour panels."""
    magick = imagemagick()
    grays = {
        "gray photo": np.asarray(Image.fromarray(images["photo"]).convert("L").convert("RGB")),
        "gray ramp": np.repeat(
            np.tile(np.linspace(0, 255, 384).round().astype(np.uint8), (128, 1))[:, :, None],
            3,
            axis=2,
        ),
    }
    rows = []
    for name in panel_names():
        shown, driver = panel_palette(name), panel_palette(name, measured=False)

        def shown_colours(out: np.ndarray) -> np.ndarray:
            return out if driver == shown else recolor(out, driver, shown)

        candidates: list[tuple[str, Callable[[np.ndarray], np.ndarray]]] = [
            ("default", lambda img, n=name: shown_colours(dither(img, panel=n))),
            (
                "no map",
                lambda img, n=name: shown_colours(
                    dither(img, panel=n, lightness_map=0, chroma_map=0)
                ),
            ),
            (
                "no gray-photo detector",
                lambda img, n=name: shown_colours(dither(img, panel=n, gray_photos=False)),
            ),
            (
                "neither (the profile alone)",
                lambda img, n=name: shown_colours(
                    dither(img, panel=n, lightness_map=0, chroma_map=0, gray_photos=False)
                ),
            ),
            ("Pillow FS quantize", lambda img, c=shown: pillow_fs(img, c)),
        ]
        if magick is not None:
            # Its best remap in the defaults table is nearly always the linear one.
            candidates += [
                (
                    f"ImageMagick FS remap, {space}",
                    lambda img, c=shown, s=space: imagemagick_remap(
                        magick, img, c, "FloydSteinberg", s
                    ),
                )
                for space in ("sRGB", "RGB")
            ]
        for label, fn in candidates:
            row: dict[str, Any] = {"panel": name, "variant": label}
            for key, img in {**images, **grays}.items():
                out = fn(img)
                for metric in ("oklab", "scielab"):
                    row[f"{key} {metric}"] = score(img, out, metric)
            rows.append(row)
    return rows


def panels_markdown(rows: list[dict[str, Any]]) -> str:
    keys = [k for k in rows[0] if k not in ("panel", "variant")]
    lines = [
        "| panel | variant | " + " | ".join(keys) + " |",
        "|---|---|" + "--:|" * len(keys),
    ]
    for row in rows:
        figures = " | ".join(f"{row[k]:.2f}" for k in keys)
        lines.append(f"| {row['panel']} | {row['variant']} | {figures} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="write the rows as JSON here")
    parser.add_argument("--sheet", help="write the comparison sheet (PNG) here")
    parser.add_argument(
        "--one-hue-sheet", help="write the one-hue palettes' sheet (PNG) here, and stop"
    )
    parser.add_argument(
        "--only",
        choices=("defaults", "flicker", "one-hue", "panels"),
        help="print only the table of defaults, the animation table, the one-hue table "
        "or the panels' table (their defaults beside Pillow and ImageMagick)",
    )
    args = parser.parse_args(argv)
    images = inputs()
    if args.only == "panels":
        if imagemagick() is None:
            print("ImageMagick is not installed: Pillow only.\n")
        print(panels_markdown(panels_table(images)))
        return 0
    if args.one_hue_sheet:
        one_hue_sheet(np.asarray(sample_photo(256))[:, 43:213], args.one_hue_sheet)
        return 0
    if args.only == "one-hue":
        print_one_hue(one_hue_table(images["photo"]))
        return 0
    if args.only == "flicker":
        print_flicker(images["photo"])
        return 0
    defaults = defaults_table(images)
    print(defaults_markdown(defaults) + "\n")
    if args.only == "defaults":
        return 0
    rows = table(images)
    print(markdown(rows))
    gray = gray_table(images)
    names = [k for k in gray[0] if k not in ("variant", "mean")]
    print("\n| black and white | " + " | ".join(names) + " | mean |")
    print("|---|" + "--:|" * (len(names) + 1))
    for row in gray:
        print(
            f"| {row['variant']} | "
            + " | ".join(f"{row[n]:.2f}" for n in names)
            + f" | {row['mean']:.2f} |"
        )
    flicker = print_flicker(images["photo"])
    one_hue = one_hue_table(images["photo"])
    print_one_hue(one_hue)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(
                {
                    "defaults": defaults,
                    "palettes": rows,
                    "gray": gray,
                    "flicker": flicker,
                    "one_hue": one_hue,
                },
                f,
                indent=1,
            )
    if args.sheet:
        sheet(images, args.sheet)
    return 0


if __name__ == "__main__":
    sys.exit(main())
