"""The built-in samples and the gallery `tonalis demo` writes.

Each topic is a list of (label, settings) pairs, rendered twice: as a grid on
the bundled photograph and as labelled strips of a gradient.
"""

from __future__ import annotations

import html
import os
from collections.abc import Callable, Sequence
from importlib import resources
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .devices.channels import device_levels
from .matrices.bluenoise import blue_noise_matrix
from .matrices.halftone import halftone_matrix, screen
from .palettes.presets import adaptive_palette, preset
from .palettes.recolor import panel_palette
from .pipeline import DitherSettings, apply, save_image
from .sheet import contact_sheet, strip_sheet
from .tone import ToneSettings

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["sample_photo", "sample_gradient", "build_gallery", "TOPICS"]

CELL_WIDTH = 256
STRIP_WIDTH = 768
STRIP_HEIGHT = 48


def sample_photo(width: int = CELL_WIDTH) -> Image.Image:
    """The bundled photograph (a coffee cup, CC0), RGB, scaled to `width` pixels.

    At its full size it is 384 x 256; see tonalis_tools/data/README.md for its
    source and licence.

    Args:
        width: the width to scale to (Lanczos), the height in proportion.

    Returns:
        A new RGB PIL image.

    Examples:
        >>> photo = sample_photo(96)
        >>> photo.size, photo.mode
        ((96, 64), 'RGB')
    """
    from PIL import Image

    with resources.as_file(resources.files("tonalis_tools") / "data" / "coffee.png") as path:
        with Image.open(path) as opened:
            image = opened.convert("RGB")
    if width != image.width:
        height = max(1, round(image.height * width / image.width))
        image = image.resize((width, height), Image.Resampling.LANCZOS)
    return image


def sample_gradient(
    width: int = STRIP_WIDTH, height: int = STRIP_HEIGHT, *, colour: bool = False
) -> npt.NDArray[np.uint8]:
    """A left-to-right ramp from black to white, 2-D uint8.

    With `colour`, an H x W x 3 strip instead: the hue sweeps across and the
    colour fades from full to pale from top to bottom.

    Args:
        width: columns, black at the first and white at the last.
        height: rows, each the same ramp (without `colour`).
        colour: make the colour strip instead.

    Returns:
        A uint8 array, height x width, or height x width x 3 with `colour`.

    Examples:
        >>> sample_gradient(8, 2)
        array([[  0,  36,  73, 109, 146, 182, 219, 255],
               [  0,  36,  73, 109, 146, 182, 219, 255]], dtype=uint8)
        >>> sample_gradient(8, 2, colour=True).shape
        (2, 8, 3)
    """
    x = np.linspace(0.0, 1.0, width)
    if not colour:
        return np.round(np.broadcast_to(x, (height, width)) * 255).astype(np.uint8)
    hue = x[None, :] * 6.0
    rgb = np.stack(
        [
            np.clip(np.abs(hue - 3.0) - 1.0, 0, 1),
            np.clip(2.0 - np.abs(hue - 2.0), 0, 1),
            np.clip(2.0 - np.abs(hue - 4.0), 0, 1),
        ],
        axis=-1,
    )
    fade = np.linspace(0.0, 0.75, height)[:, None, None]
    rgb = rgb * (1 - fade) + fade
    return np.round(rgb * 255).astype(np.uint8)


S = DitherSettings

_DIFFUSION = [
    ("floyd_steinberg", S("floyd_steinberg")),
    ("false_floyd_steinberg", S("false_floyd_steinberg")),
    ("jarvis_judice_ninke", S("jarvis_judice_ninke")),
    ("stucki", S("stucki")),
    ("atkinson", S("atkinson")),
    ("burkes", S("burkes")),
    ("sierra", S("sierra")),
    ("sierra_two_row", S("sierra_two_row")),
    ("sierra_lite", S("sierra_lite")),
]

_ORDERED = [
    ("bayer2x2", S("bayer2x2")),
    ("bayer4x4", S("bayer4x4")),
    ("bayer8x8", S("bayer8x8")),
    ("bayer16x16", S("bayer16x16")),
    ("blue noise 16", S("bluenoise16")),
    ("blue noise 32", S("bluenoise32")),
    ("blue noise 64", S("bluenoise64")),
    ("random, seed=1", S("random", seed=1)),
]

_OPTIONS = [
    ("levels=2", S("floyd_steinberg")),
    ("levels=4", S("floyd_steinberg", levels=4)),
    ("levels=8", S("floyd_steinberg", levels=8)),
    ("bayer8x8 strength=1.0", S("bayer8x8")),
    ("bayer8x8 strength=0.6", S("bayer8x8", strength=0.6)),
    ("bayer8x8 strength=0.3", S("bayer8x8", strength=0.3)),
    ("jjn", S("jarvis_judice_ninke")),
    ("jjn serpentine", S("jarvis_judice_ninke", serpentine=True)),
    ("jjn linear", S("jarvis_judice_ninke", linear=True)),
]

_PALETTES_RETRO = [
    ("RGB, levels=2 (8 colours)", S("floyd_steinberg")),
    ("gameboy", S("floyd_steinberg", palette=preset("gameboy"))),
    ("cga", S("floyd_steinberg", palette=preset("cga"))),
    ("ega16", S("floyd_steinberg", palette=preset("ega16"))),
    ("pico8", S("floyd_steinberg", palette=preset("pico8"))),
    ("websafe (216)", S("floyd_steinberg", palette=preset("websafe"))),
]

_PALETTES_EPAPER = [
    ("epaper-bwr", S("floyd_steinberg", palette=preset("epaper-bwr"))),
    ("epaper-bwy", S("floyd_steinberg", palette=preset("epaper-bwy"))),
    ("epaper-6", S("floyd_steinberg", palette=preset("epaper-6"))),
    ("epaper-7", S("floyd_steinberg", palette=preset("epaper-7"))),
    ("epaper-7, bayer8x8", S("bayer8x8", palette=preset("epaper-7"))),
    ("epaper-7, blue noise 64", S("bluenoise64", palette=preset("epaper-7"))),
]

_EPAPER = [
    (
        "spectra6, nominal colours",
        S("floyd_steinberg", palette=panel_palette("spectra6", measured=False)),
    ),
    (
        "spectra6, measured: as the panel shows it",
        S("floyd_steinberg", palette=panel_palette("spectra6")),
    ),
    (
        "spectra6, measured, driver colours",
        S(
            "floyd_steinberg",
            palette=panel_palette("spectra6"),
            display_palette=panel_palette("spectra6", measured=False),
        ),
    ),
    (
        "acep7, measured, driver colours",
        S(
            "floyd_steinberg",
            palette=panel_palette("acep7"),
            display_palette=panel_palette("acep7", measured=False),
        ),
    ),
    (
        "black/white/red, contrast 0.2",
        S("floyd_steinberg", palette=panel_palette("bwr"), tone=ToneSettings(contrast=0.2)),
    ),
    (
        "4 grays, auto-levels",
        S("atkinson", levels=4, gray=True, tone=ToneSettings(auto_levels=True)),
    ),
]

_PRINTERS = [
    ("floyd_steinberg, as is", S("floyd_steinberg")),
    ("floyd_steinberg, gamma 1.25", S("floyd_steinberg", tone=ToneSettings(gamma=1.25))),
    ("atkinson, dot gain 0.15", S("atkinson", tone=ToneSettings(dot_gain=0.15))),
    ("screen halftone45 (8 px)", S(matrix=screen("halftone45"))),
    ("round 6 px, 45 deg, dot gain 0.15", S(matrix=halftone_matrix(6, 45, "round", 0.15))),
    ("ellipse 6 px, 30 deg", S(matrix=halftone_matrix(6, 30, "ellipse"))),
    ("square 6 px, 15 deg", S(matrix=halftone_matrix(6, 15, "square"))),
    ("line screen, 5 px, 0 deg", S(matrix=halftone_matrix(5, 0, "line"))),
    ("line screen, 5 px, 45 deg", S(matrix=halftone_matrix(5, 45, "line"))),
]

_PANELS = [
    ("rgb565, no dither", S("floyd_steinberg", levels=device_levels("rgb565"), strength=0.0)),
    ("rgb565, floyd_steinberg", S("floyd_steinberg", levels=device_levels("rgb565"))),
    ("rgb332, no dither", S("floyd_steinberg", levels=device_levels("rgb332"), strength=0.0)),
    ("rgb332, floyd_steinberg", S("floyd_steinberg", levels=device_levels("rgb332"))),
    ("rgb332, bayer4x4", S(matrix="bayer4x4", levels=device_levels("rgb332"))),
    ("rgb332, blue noise 64", S("bluenoise64", levels=device_levels("rgb332"))),
]

# Plain Floyd-Steinberg beside the refinements of tonalis_tools.diffuse.
_EXTRAS = [
    cell
    for name in ("epaper-7", "epaper-bwr", "cga")
    for cell in (
        (f"{name}, plain", S("floyd_steinberg", palette=preset(name))),
        (
            f"{name}, linear + luma",
            S("floyd_steinberg", palette=preset(name), linear=True, distance="luma"),
        ),
        (
            f"{name}, limit 16 + luma",
            S("floyd_steinberg", palette=preset(name), error_limit=16, distance="luma"),
        ),
    )
]

#: name -> (caption, cells, colour input?)
_PATTERN = [
    cell
    for name in ("epaper-7", "epaper-bwr", "pico8")
    for cell in (
        (f"{name}, ordered 8x8", S(matrix="bayer8x8", palette=preset(name))),
        (f"{name}, pattern 8x8", S("pattern", palette=preset(name), linear=True)),
        (f"{name}, Riemersma", S("riemersma", palette=preset(name), linear=True)),
    )
]

_DBS = [
    cell
    for name in ("bw", "epaper-bwr", "epaper-7")
    for cell in (
        (f"{name}, Floyd-Steinberg", S("floyd_steinberg", palette=preset(name), linear=True)),
        (f"{name}, DBS", S("dbs", palette=preset(name), linear=True)),
    )
]

_ALGORITHMS_BW = [
    ("Floyd-Steinberg, serpentine", S("floyd_steinberg", serpentine=True)),
    ("Ostromoukhov", S("ostromoukhov")),
    ("Zhou-Fang", S("zhou_fang")),
    ("Riemersma", S("riemersma")),
]

TOPICS: dict[str, tuple[str, Sequence[tuple[str, DitherSettings]], bool]] = {
    "error_diffusion": ("Error diffusion, the nine kernels, black and white", _DIFFUSION, False),
    "ordered": (
        "Ordered dither with Bayer and blue-noise matrices, and random dither",
        _ORDERED,
        False,
    ),
    "options": ("Options: levels, strength, serpentine scan, linear light", _OPTIONS, False),
    "palettes_retro": ("Palettes: retro presets (Floyd-Steinberg)", _PALETTES_RETRO, True),
    "palettes_epaper": ("Palettes: e-paper panels", _PALETTES_EPAPER, True),
    "devices_epaper": (
        "E-paper: measured panel colours written as the driver's, tone, 4 grays",
        _EPAPER,
        True,
    ),
    "extras": (
        "Refined error diffusion: plain, linear light with luma matching, "
        "error limit with luma matching",
        _EXTRAS,
        True,
    ),
    "devices_printers": (
        "Printers: gamma and dot gain, clustered-dot and line screens",
        _PRINTERS,
        False,
    ),
    "pattern": (
        "Palettes: ordered dither against pattern dither and Riemersma (linear light)",
        _PATTERN,
        True,
    ),
    "dbs": (
        "Direct binary search against its Floyd-Steinberg start (linear light)",
        _DBS,
        True,
    ),
    "algorithms_bw": (
        "Black and white: variable-coefficient diffusion and Riemersma",
        _ALGORITHMS_BW,
        False,
    ),
}

PIXEL_SIZE = 3


def _panels_sheet() -> Image.Image:
    """Colour formats of small panels on a dark colour ramp, where their
    banding shows most, with pixels doubled."""
    from PIL import Image

    dark = (sample_gradient(STRIP_WIDTH // 2, STRIP_HEIGHT // 2, colour=True) // 3).astype(np.uint8)
    size = (dark.shape[1] * 2, dark.shape[0] * 2)
    return strip_sheet(
        [
            (label, _as_pil(apply(s, dark)).resize(size, Image.Resampling.NEAREST))
            for label, s in _PANELS
        ]
    )


def _pixel_art_sheet() -> Image.Image:
    """A small picture dithered to console palettes, shown with big pixels."""
    from PIL import Image

    small = sample_photo(96)
    cells = [
        ("pico8, bayer4x4", S(matrix="bayer4x4", palette=preset("pico8"))),
        ("gameboy, bayer4x4", S(matrix="bayer4x4", palette=preset("gameboy"))),
        ("cga, atkinson", S("atkinson", palette=preset("cga"))),
        ("ega16, blue noise 16", S("bluenoise16", palette=preset("ega16"))),
    ]
    size = (small.width * PIXEL_SIZE, small.height * PIXEL_SIZE)
    return contact_sheet(
        [
            (label, _as_pil(apply(s, small)).resize(size, Image.Resampling.NEAREST))
            for label, s in cells
        ],
        columns=4,
    )


def _as_pil(array: Any) -> Image.Image:
    from PIL import Image

    return array if isinstance(array, Image.Image) else Image.fromarray(np.asarray(array))


def _topic_sheets(
    cells: Sequence[tuple[str, DitherSettings]], colour: bool, photo: Image.Image
) -> tuple[Image.Image, Image.Image]:
    source = photo if colour else photo.convert("L")
    gradient = sample_gradient(colour=colour)
    grid = contact_sheet([(label, _as_pil(apply(s, source))) for label, s in cells])
    strips = strip_sheet([(label, _as_pil(apply(s, gradient))) for label, s in cells])
    return grid, strips


def _adaptive_sheet(photo: Image.Image) -> Image.Image:
    cells = []
    for count in (4, 8, 16):
        palette = adaptive_palette(photo, count)
        cells.append(
            (
                f"adaptive, {count} colours",
                _as_pil(apply(S("floyd_steinberg", palette=palette), photo)),
            )
        )
    return contact_sheet(cells)


def _alpha_sheet(photo: Image.Image) -> Image.Image:
    """RGBA with a soft round mask: alpha kept, and alpha dithered too."""
    from PIL import Image

    rgb = np.asarray(photo)
    h, w = rgb.shape[:2]
    y, x = np.mgrid[0:h, 0:w]
    r = np.hypot((x - w / 2) / (w / 2), (y - h / 2) / (h / 2))
    alpha = np.clip((1.1 - r) * 2.0, 0, 1)
    rgba = np.dstack([rgb, np.round(alpha * 255).astype(np.uint8)])
    image = Image.fromarray(rgba, "RGBA")
    return contact_sheet(
        [
            ("RGBA input", image),
            ("pico8, alpha kept", _as_pil(apply(S("fs", palette=preset("pico8")), image))),
            (
                "levels=2, preserve_alpha=False",
                _as_pil(apply(S("fs", preserve_alpha=False), image)),
            ),
        ]
    )


def _matrix_sheet() -> Image.Image:
    """Bayer 16x16 next to blue noise 64x64: the matrices, their spectra, a flat 25% gray."""
    from PIL import Image

    import tonalis

    side = 256
    cells = []
    for name, thr, matrix in (
        ("Bayer 16x16", (_bayer16() + 0.5) / 256.0, 16),
        ("blue noise 64", blue_noise_matrix(64), None),
    ):
        n = thr.shape[0]
        tiled = np.tile(thr, (side // n, side // n))
        cells.append((f"{name}, tiled", Image.fromarray(np.round(tiled * 255).astype(np.uint8))))
        spectrum = np.abs(np.fft.fftshift(np.fft.fft2(thr - thr.mean())))
        spectrum = np.log1p(spectrum) / max(float(np.log1p(spectrum).max()), 1e-9)
        spectrum = np.kron(spectrum, np.ones((side // n, side // n)))
        cells.append(
            (f"{name}, spectrum", Image.fromarray(np.round(spectrum * 255).astype(np.uint8)))
        )
        flat = np.full((side, side), 64, np.uint8)
        cells.append(
            (
                f"{name}, 25% gray",
                _as_pil(tonalis.ordered_dither(flat, thr if matrix is None else matrix)),
            )
        )
    return contact_sheet(cells, columns=3)


def _bayer16() -> npt.NDArray[np.float64]:
    m = np.zeros((1, 1))
    while m.shape[0] < 16:
        m = np.block([[4 * m, 4 * m + 2], [4 * m + 3, 4 * m + 1]])
    return m


def build_gallery(
    outdir: str | os.PathLike[str], *, log: Callable[[str], None] | None = None
) -> list[Path]:
    """Write the gallery into `outdir` (created); returns the files written.

    PNG sheets: one per topic on the photograph and one as gradient strips,
    the adaptive-palette and alpha sheets, Bayer against blue noise, the
    inputs, and an index.html that shows them all.

    Args:
        outdir: the folder to write into; made with its parents if missing,
            files of the same names replaced.
        log: called with a line for each file written, if given.

    Returns:
        The paths written, index.html last.

    Raises:
        OSError: the folder or a file cannot be written.

    Examples:
        >>> written = build_gallery("gallery")
        >>> written[0].name, written[-1].name
        ('sample.png', 'index.html')
    """
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    photo = sample_photo()
    written: list[Path] = []
    captions: list[tuple[str, str]] = []

    def write(name: str, image: Image.Image, caption: str) -> None:
        path = out / name
        save_image(image, path)
        written.append(path)
        captions.append((name, caption))
        if log is not None:
            log(f"wrote {path}")

    write("sample.png", photo, "The sample photograph")
    write("gradient.png", _as_pil(sample_gradient()), "The gradient")
    for name, (caption, cells, colour) in TOPICS.items():
        grid, strips = _topic_sheets(cells, colour, photo)
        write(f"{name}.png", grid, caption)
        write(f"{name}_gradient.png", strips, caption + ", on a gradient")
    write("palettes_adaptive.png", _adaptive_sheet(photo), "Adaptive palettes (median cut)")
    write(
        "alpha.png",
        _alpha_sheet(sample_photo(192)),
        "Alpha: passed through, or dithered as a channel",
    )
    write("bayer_vs_blue_noise.png", _matrix_sheet(), "Bayer against blue noise")
    write(
        "devices_panels.png",
        _panels_sheet(),
        "LED and TFT panels: RGB565 and RGB332 on a dark ramp, pixels doubled",
    )
    write(
        "devices_pixel_art.png",
        _pixel_art_sheet(),
        "Retro and pixel art: console palettes, big pixels",
    )
    page = [
        "<!doctype html><meta charset='utf-8'><title>tonalis gallery</title>",
        "<style>body{font-family:sans-serif} img{image-rendering:pixelated}</style>",
        "<h1>tonalis gallery</h1>",
    ]
    for name, caption in captions:
        page.append(
            f"<h2>{html.escape(caption)}</h2>"
            f"<img src='{html.escape(name)}' alt='{html.escape(caption)}'>"
        )
    index = out / "index.html"
    index.write_text("\n".join(page) + "\n", encoding="utf-8")
    written.append(index)
    return written
