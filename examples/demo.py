"""Dither the built-in sample image with several methods and write PNGs."""

import sys
from pathlib import Path

import numpy as np
from PIL import Image

import tonalis


def sample(height=256, width=384):
    """A smooth colour gradient with a gray ramp and a few hard edges."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    r = x / (width - 1)
    g = y / (height - 1)
    b = 0.5 + 0.5 * np.sin((x + y) / 40.0)
    rgb = np.stack([r, g, b], axis=-1)
    rgb[height // 2 - 20 : height // 2 + 20] = (x[:40, :, None] / (width - 1))
    disc = (x - width * 0.75) ** 2 + (y - height * 0.3) ** 2 < (height * 0.18) ** 2
    rgb[disc] = (0.9, 0.2, 0.1)
    return (rgb * 255 + 0.5).clip(0, 255).astype(np.uint8)


def main(outdir):
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    image = sample()
    gray = (image @ np.array([0.299, 0.587, 0.114])).astype(np.uint8)
    Image.fromarray(image).save(out / "sample.png")
    pico8 = ["#000000", "#1d2b53", "#7e2553", "#008751", "#ab5236", "#5f574f", "#c2c3c7",
             "#fff1e8", "#ff004d", "#ffa300", "#ffec27", "#00e436", "#29adff", "#83769c",
             "#ff77a8", "#ffccaa"]
    jobs = {
        "fs_bw": lambda: tonalis.error_diffusion(gray, "floyd_steinberg"),
        "atkinson_bw": lambda: tonalis.error_diffusion(gray, "atkinson"),
        "jjn_serpentine_4": lambda: tonalis.error_diffusion(gray, "jjn", levels=4, serpentine=True),
        "fs_linear_bw": lambda: tonalis.error_diffusion(gray, "fs", linear=True),
        "fs_rgb_2": lambda: tonalis.error_diffusion(image, "fs"),
        "fs_pico8": lambda: tonalis.error_diffusion(image, "fs", palette=pico8),
    }
    for name in ("ordered_dither", "random_dither"):
        function = getattr(tonalis, name)
        try:
            function(gray[:1, :1])
        except NotImplementedError:
            continue
        if name == "ordered_dither":
            jobs["bayer8_bw"] = lambda: tonalis.ordered_dither(gray)
            jobs["bayer4_pico8"] = lambda: tonalis.ordered_dither(image, "bayer4x4", palette=pico8)
        else:
            jobs["random_bw"] = lambda: tonalis.random_dither(gray, seed=1)
    for name, job in jobs.items():
        Image.fromarray(job()).save(out / f"{name}.png")
        print(f"wrote {out / (name + '.png')}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "gallery")
