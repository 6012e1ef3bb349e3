"""Direct binary search against the best of every other method, on both
quality figures of `tonalis_tools.quality` (blurred Oklab x 100 and
S-CIELAB's mean Delta E; lower is better).

For black and white, four grays and the 7-colour panels (nominal e-paper
colours and ACeP's measured ones), every other method runs: tonalis's and
the refined engines' Floyd-Steinberg over the whole grid of linear light,
serpentine scan, error limit and distance, ordered, random, pattern,
Riemersma and variable-coefficient dither, what `tonalis_tools.dither`
gives by default, and Pillow's Floyd-Steinberg quantize. For each figure
the best of them, whichever it is, stands against `tonalis_tools.dbs` at its
defaults (a Gaussian eye of sigma 1.2 pixels, linear light).

    python3 bench/dbs_quality.py                 # the table, as Markdown
    python3 bench/dbs_quality.py --json out.json

Inputs: the bundled photograph and a colour gradient, in gray for the gray
targets, plus a gray ramp. Needs numpy and Pillow.

Beside the blurred Oklab figures stands the floor no image of the target's
colours can go below (`tonalis_tools.quality.oklab_floor`): 0 where the
colours' mixes hold the pictures, the error of the gamut where they do not.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable
from typing import Any

import numpy as np
from PIL import Image
from quality import GRAY_VARIANTS, GRID, VARIANTS, inputs, pillow_fs, run_variant, setting_label

from tonalis_tools import dbs, diffuse, dither, ordered, panel_palette, preset, variable_diffuse
from tonalis_tools.quality import oklab_floor, score

METRICS = ("oklab", "scielab")
Method = Callable[[np.ndarray], np.ndarray]


def gray_inputs(images: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    grays = {name: np.asarray(Image.fromarray(img).convert("L")) for name, img in images.items()}
    grays["ramp"] = np.tile(np.linspace(0, 255, 384).round().astype(np.uint8), (128, 1))
    return grays


def palette_methods(colours: list[str], default: dict[str, Any]) -> list[tuple[str, Method]]:
    """Every other method for a palette, by label."""
    methods: list[tuple[str, Method]] = [
        ("Pillow FS quantize", lambda img: pillow_fs(img, colours)),
        ("tonalis_tools.dither default", lambda img: dither(img, **default)),
        ("ordered blue noise", lambda img: ordered(img, "bluenoise64", palette=colours)),
        (
            "ordered blue noise, linear",
            lambda img: ordered(img, "bluenoise64", palette=colours, linear=True),
        ),
    ]
    methods += [
        (label, lambda img, f=family, o=options: run_variant(f, img, colours, o))
        for label, family, options in VARIANTS
    ]
    methods += [
        (f"FS, {setting_label(o) or 'sRGB'}", lambda img, o=o: diffuse(img, palette=colours, **o))
        for o in GRID
    ]
    return methods


def on_gray(methods: list[tuple[str, Method]]) -> list[tuple[str, Method]]:
    """Palette methods for gray images: they take RGB, and a gray palette
    gives equal channels back, of which one is the gray result."""

    def wrap(method: Method) -> Method:
        return lambda img: method(np.dstack([img] * 3))[..., 0]

    return [(label, wrap(method)) for label, method in methods]


Target = tuple[str, dict[str, np.ndarray], list[tuple[str, Method]], Method, list[str]]


def targets(images: dict[str, np.ndarray]) -> list[Target]:
    grays = gray_inputs(images)
    bw = ["#000000", "#ffffff"]
    gray4 = preset("gray4")
    bw_methods = (
        list(GRAY_VARIANTS)
        + [
            (
                "Ostromoukhov, linear",
                lambda img: variable_diffuse(img, "ostromoukhov", linear=True),
            ),
            ("Zhou-Fang, linear", lambda img: variable_diffuse(img, "zhou_fang", linear=True)),
        ]
        + on_gray(palette_methods(bw, {"preset": "bw"}))
    )
    gray4_methods = [
        ("Ostromoukhov, 4 levels", lambda img: variable_diffuse(img, "ostromoukhov", levels=4)),
        ("Zhou-Fang, 4 levels", lambda img: variable_diffuse(img, "zhou_fang", levels=4)),
    ] + on_gray(palette_methods(gray4, {"preset": "gray4"}))
    return [
        ("black and white", grays, bw_methods, lambda img: dbs(img), bw),
        (
            "4 grays",
            grays,
            gray4_methods,
            on_gray([("", lambda img: dbs(img, palette=gray4))])[0][1],
            gray4,
        ),
        (
            "epaper-7 (nominal)",
            images,
            palette_methods(preset("epaper-7"), {"preset": "epaper-7"}),
            lambda img: dbs(img, palette=preset("epaper-7")),
            preset("epaper-7"),
        ),
        (
            "panel acep7 (measured)",
            images,
            palette_methods(panel_palette("acep7"), {"panel": "acep7"}),
            lambda img: dbs(img, palette=panel_palette("acep7")),
            panel_palette("acep7"),
        ),
    ]


def figures(images: dict[str, np.ndarray], method: Method) -> dict[str, float]:
    outs = {name: method(img) for name, img in images.items()}
    return {m: float(np.mean([score(images[n], outs[n], m) for n in images])) for m in METRICS}


def rows(images: dict[str, np.ndarray]) -> list[dict[str, Any]]:
    result = []
    for target, inputs_, methods, search, colours in targets(images):
        others = [(label, figures(inputs_, fn)) for label, fn in methods]
        mine = figures(inputs_, search)
        floor = float(np.mean([oklab_floor(img, colours) for img in inputs_.values()]))
        row: dict[str, Any] = {"target": target, "oklab_floor": floor}
        for m in METRICS:
            label, best = min(others, key=lambda item: item[1][m])
            row[m] = {
                "dbs": mine[m],
                "best_other": best[m],
                "best_other_method": label,
                "gain": 1.0 - mine[m] / best[m],
            }
        result.append(row)
        print(f"  {target}: done", file=sys.stderr, flush=True)
    return result


def markdown(result: list[dict[str, Any]]) -> str:
    lines = [
        "| target | figure | floor | DBS | best other | which | DBS better by |",
        "|---|---|--:|--:|--:|---|--:|",
    ]
    for row in result:
        for m in METRICS:
            f = row[m]
            floor = f"{row['oklab_floor']:.2f}" if m == "oklab" else "-"
            lines.append(
                f"| {row['target']} | {m} | {floor} | {f['dbs']:.2f} | {f['best_other']:.2f} | "
                f"{f['best_other_method']} | {100 * f['gain']:.0f}% |"
            )
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="write the rows as JSON here")
    args = parser.parse_args(argv)
    result = rows(inputs())
    print(markdown(result))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
