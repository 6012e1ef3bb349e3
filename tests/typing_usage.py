"""Calls of every public function, checked by `mypy --strict` against the
shipped stubs (tools/typecheck.py) and also run as ordinary code by
test_typing.py, so each call is known to work at run time too."""

from __future__ import annotations

from pathlib import Path
from typing import assert_type

import numpy as np
import numpy.typing as npt
from PIL import Image

import tonalis
import tonalis_tools
from tonalis_tools.presets import adaptive_palette, preset

Array = npt.NDArray[np.uint8]


def exercise(tmp: Path) -> None:
    gray: Array = np.arange(64, dtype=np.uint8).reshape(8, 8)
    rgb: Array = np.dstack([gray, gray[::-1], gray.T])
    pil_gray = Image.fromarray(gray)
    pil_rgb = Image.fromarray(rgb)

    assert_type(tonalis.__version__, str)
    assert_type(tonalis.available_methods(), list[str])
    assert_type(tonalis.available_matrices(), list[str])

    # Arrays in, arrays out.
    assert_type(tonalis.dither(gray), Array)
    assert_type(tonalis.dither(rgb, "atkinson", levels=4, serpentine=True, strength=0.5), Array)
    assert_type(tonalis.dither(gray, "random", seed=3, linear=True, preserve_alpha=False), Array)
    assert_type(tonalis.error_diffusion(rgb, palette=["#000", "#fff", (255, 0, 0)]), Array)
    assert_type(tonalis.error_diffusion(gray, "jjn", levels=3, serpentine=True), Array)
    assert_type(tonalis.ordered_dither(gray), Array)
    assert_type(tonalis.ordered_dither(gray, "bayer4x4", levels=4), Array)
    assert_type(tonalis.ordered_dither(gray, 8), Array)
    assert_type(tonalis.ordered_dither(gray, np.array([[0, 2], [3, 1]])), Array)
    assert_type(tonalis.ordered_dither(rgb, tonalis_tools.blue_noise_matrix(16)), Array)
    assert_type(tonalis.random_dither(gray, seed=1, strength=0.25), Array)
    assert_type(tonalis.random_dither(rgb, palette=np.array([[0, 0, 0], [255, 255, 255]])), Array)

    # PIL images in, PIL images out.
    assert_type(tonalis.dither(pil_gray), Image.Image)
    assert_type(tonalis.dither(pil_rgb, "sierra", palette=preset("pico8")), Image.Image)
    assert_type(tonalis.error_diffusion(pil_rgb, "burkes", levels=2), Image.Image)
    assert_type(tonalis.ordered_dither(pil_gray, "bayer2x2"), Image.Image)
    assert_type(tonalis.random_dither(pil_rgb, seed=7), Image.Image)

    # Anything numpy can turn into a uint8 array.
    as_list = gray.tolist()
    assert_type(tonalis.dither(np.asarray(as_list, dtype=np.uint8)), Array)
    memory = memoryview(gray.tobytes()).cast("B", (8, 8))
    assert_type(tonalis.dither(memory), Array)

    # The companion package.
    palette: list[str] = adaptive_palette(pil_rgb, 4)
    settings = tonalis_tools.DitherSettings("atkinson", palette=palette, serpentine=True)
    out = tonalis_tools.apply(settings, pil_rgb)
    source = tmp / "in.png"
    pil_rgb.save(source)
    written: Path = tonalis_tools.dither_file(source, tmp / "out.png", settings)
    assert written.is_file() and out is not None
    ranks: npt.NDArray[np.int64] = tonalis_tools.blue_noise_ranks(16)
    assert ranks.shape == (16, 16)
    assert_type(tonalis_tools.preset_names(), list[str])
    assert_type(tonalis_tools.__version__, str)


if __name__ == "__main__":
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        exercise(Path(tmp))
