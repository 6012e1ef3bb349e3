"""The golden corpus: its calls, the inputs they are made from, and the
FNV-1a 64-bit hash of their output bytes.

tests/golden/corpus.txt holds one call a line: the hash recorded on x86-64,
then the function and its arguments as ``key=value`` words, for example

    3f0c...e1 f=error_diffusion image=ramp.3.37x61x3 levels=16 method=stucki serpentine=1

Every input is made here from a few small integers, by integer arithmetic
that C++ repeats exactly (tests/core/golden_corpus.cpp reads the same file
and makes the same calls through the core alone):

- ``image=KIND.SEED.HxW`` (a 2-D gray array) or ``KIND.SEED.HxWxC``;
- ``palette=KIND.SEED.N``: N colours;
- ``mask=KIND.SEED``: a uint8 strength mask of the image's height and width;
- ``matrix=bayerN``, ``perm.SEED.RxC`` (a permutation of the cell indices),
  ``idx.SEED.RxC.MAX`` (indices below MAX) or ``thr.SEED.RxC`` (float
  thresholds in [0, 1]);
- ``filter=gSIGMA`` (direct binary search's Gaussian of that width) or
  ``filter=nDISTANCE.DPI`` (Näsänen's filter for a viewer DISTANCE inches
  from DPI pixels per inch). Their taps come from tonalis_tools; C++ reads
  them from tests/golden/dbs_filters.txt, which records them;
- ``opponent=1``: a palette searched in lightness and colour differences,
  with the filters tonalis_tools makes from the filter word, recorded as
  WORD/far, WORD/near, WORD/chroma and their weights WORD/weights.

A word left out takes the corpus's default, not the function's: levels 2,
strength 1, linear off, alpha preserved, raster order, the method
floyd_steinberg (ostromoukhov for ``variable``), matrix bayer8, seed 0,
distance rgb, no error limit, no mask, 8 candidates, history 16, ratio
1/16, filter g1.2, 1000 passes and swaps on, every channel through the one
filter, and direct binary search's Floyd-Steinberg start. Every argument is
passed to the function explicitly.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path
from typing import Any

import numpy as np

CORPUS = Path(__file__).parent / "golden" / "corpus.txt"
FILTERS = CORPUS.with_name("dbs_filters.txt")

FAMILIES = (
    "error_diffusion",
    "ordered_dither",
    "random_dither",
    "dither",
    "diffuse",
    "ordered",
    "random",
    "pattern",
    "riemersma",
    "variable",
    "dbs",
)

# The order of the words on a line after f=.
KEYS = (
    "image",
    "levels",
    "palette",
    "method",
    "matrix",
    "serpentine",
    "seed",
    "strength",
    "linear",
    "alpha",
    "limit",
    "mask",
    "distance",
    "candidates",
    "history",
    "ratio",
    "filter",
    "passes",
    "swaps",
    "opponent",
)

MASK32 = 0xFFFFFFFF
MASK64 = (1 << 64) - 1
EDGE_CODES = np.array([0, 1, 2, 127, 128, 129, 253, 254, 255], dtype=np.int64)


# --- inputs -----------------------------------------------------------------------


def draws(seed: int, count: int) -> np.ndarray:
    """count 32-bit draws: the index i mixed with the seed by a multiply-xorshift
    hash, every step modulo 2^32."""
    x = np.arange(count, dtype=np.uint32) * np.uint32(0x9E3779B1)
    x += np.uint32((seed * 0x85EBCA77 + 0x165667B1) & MASK32)
    x ^= x >> np.uint32(16)
    x *= np.uint32(0x7FEB352D)
    x ^= x >> np.uint32(15)
    x *= np.uint32(0x846CA68B)
    x ^= x >> np.uint32(16)
    return x


def parse_dims(text: str) -> tuple[int, ...]:
    return tuple(int(d) for d in text.split("x"))


@lru_cache(maxsize=64)
def _image(word: str) -> np.ndarray:
    kind, seed_text, dims_text = word.split(".")
    seed = int(seed_text)
    dims = parse_dims(dims_text)
    h, w = dims[0], dims[1]
    c = dims[2] if len(dims) == 3 else 1
    r = draws(seed, h * w * c).reshape(h, w, c).astype(np.int64)
    y, x, ch = np.ogrid[0:h, 0:w, 0:c]
    if kind == "ramp":
        v = (x * 255 // max(w - 1, 1) + y * 97 * (ch + 1) // h + (r >> 24) % 23) % 256
    elif kind == "noise":
        v = r >> 24
    elif kind == "edge":
        v = EDGE_CODES[(r >> 24) % 9]
    elif kind == "flat":
        v = np.clip((seed * 53 + ch * 89 + 17) % 256 + (r >> 24) % 3 - 1, 0, 255)
    elif kind == "tone":
        v = ((x + y) * 255 // max(w + h - 2, 1) + ch * 64) % 256
    else:
        raise ValueError(f"unknown image kind {kind!r}")
    out = np.broadcast_to(v, (h, w, c)).astype(np.uint8)
    out = out.reshape(h, w) if len(dims) == 2 else out
    out.setflags(write=False)
    return out


def image(word: str) -> np.ndarray:
    """The image of an ``image=`` word (read-only; shared between calls)."""
    return _image(word)


@lru_cache(maxsize=64)
def palette_colours(word: str) -> tuple[tuple[int, int, int], ...]:
    kind, seed_text, count_text = word.split(".")
    seed, n = int(seed_text), int(count_text)
    r = draws(seed, n).astype(np.int64)
    i = np.arange(n, dtype=np.int64)

    def split(v: np.ndarray) -> np.ndarray:
        return np.stack([v >> 24, (v >> 16) & 255, (v >> 8) & 255], axis=1)

    if kind == "rand":
        rgb = split(r)
    elif kind == "gray":
        g = i * 255 // (n - 1)
        rgb = np.stack([g, g, g], axis=1)
    elif kind == "dup":
        rgb = split(r[i // 3])
    elif kind == "tie":
        bits = np.stack([i & 1, (i >> 1) & 1, (i >> 2) & 1], axis=1)
        rgb = np.minimum(split(r[i // 8]) + bits, 255)
    elif kind == "plane":
        a, b = r >> 24, (r >> 16) & 255
        rgb = np.stack([a, b, 255 - a], axis=1)
    elif kind == "cube":
        k = 2
        while k**3 < n:
            k += 1
        rgb = np.stack([i % k, (i // k) % k, (i // (k * k)) % k], axis=1) * 255 // (k - 1)
    else:
        raise ValueError(f"unknown palette kind {kind!r}")
    return tuple((int(p[0]), int(p[1]), int(p[2])) for p in rgb)


def palette(word: str) -> list[Any]:
    """The palette of a ``palette=`` word, as tonalis takes it: hex strings
    for odd seeds, (r, g, b) tuples for even ones."""
    colours = palette_colours(word)
    if int(word.split(".")[1]) % 2 == 1:
        return [f"#{r:02x}{g:02x}{b:02x}" for r, g, b in colours]
    return list(colours)


def mask(word: str, height: int, width: int) -> np.ndarray:
    kind, seed_text = word.split(".")
    r = draws(int(seed_text), height * width).reshape(height, width).astype(np.int64)
    x = np.arange(width, dtype=np.int64)[None, :]
    if kind == "rand":
        v = r >> 24
    elif kind == "bin":
        v = 255 * (r >> 31)
    elif kind == "ramp":
        v = np.broadcast_to(x * 255 // max(width - 1, 1), (height, width))
    elif kind == "half":
        v = np.full((height, width), 128)
    else:
        raise ValueError(f"unknown mask kind {kind!r}")
    return np.ascontiguousarray(v, dtype=np.uint8)


def matrix(word: str) -> Any:
    """The matrix argument of a ``matrix=`` word: a Bayer name or an array."""
    if word.startswith("bayer"):
        n = int(word[5:])
        return f"bayer{n}x{n}"
    parts = word.split(".")
    kind, seed = parts[0], int(parts[1])
    rows, cols = parse_dims(parts[2])
    r = draws(seed, rows * cols).astype(np.int64)
    if kind == "perm":
        values = np.argsort(r, kind="stable").astype(np.int64)
    elif kind == "idx":
        values = r % int(parts[3])
    elif kind == "thr":
        values = (r % 1025).astype(np.float64) / 1024.0
    else:
        raise ValueError(f"unknown matrix kind {kind!r}")
    return values.reshape(rows, cols)


# --- calls ------------------------------------------------------------------------


@dataclass(frozen=True)
class Call:
    text: str  # the words after the hash
    words: dict[str, str]

    @property
    def family(self) -> str:
        return self.words["f"]


def parse_call(text: str) -> Call:
    words: dict[str, str] = {}
    for word in text.split():
        key, sep, value = word.partition("=")
        if not sep or key in words or (key != "f" and key not in KEYS):
            raise ValueError(f"malformed corpus word {word!r} in {text!r}")
        words[key] = value
    if words.get("f") not in FAMILIES or "image" not in words:
        raise ValueError(f"corpus line without a known f= and image=: {text!r}")
    return Call(text, words)


def format_call(family: str, **words: Any) -> str:
    """The canonical text of a call: f= first, then the words in KEYS order."""
    unknown = set(words) - set(KEYS)
    if unknown:
        raise ValueError(f"unknown corpus words {sorted(unknown)}")
    parts = [f"f={family}"]
    for key in KEYS:
        if key in words and words[key] is not None:
            value = words[key]
            if isinstance(value, bool):
                value = int(value)
            parts.append(f"{key}={value}")
    return " ".join(parts)


def read_corpus(path: Path = CORPUS) -> list[tuple[int, Call]]:
    entries = []
    for line in path.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        digest, _, rest = line.partition(" ")
        entries.append((int(digest, 16), parse_call(rest)))
    return entries


def fnv1a64(data: bytes) -> int:
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & MASK64
    return h


def _common(w: dict[str, str]) -> dict[str, Any]:
    """levels or palette, strength, linear and preserve_alpha."""
    args: dict[str, Any] = {
        "strength": float(w.get("strength", "1")),
        "linear": w.get("linear", "0") == "1",
        "preserve_alpha": w.get("alpha", "1") == "1",
    }
    if "palette" in w:
        args["palette"] = palette(w["palette"])
        args["levels"] = 2
    else:
        args["levels"] = int(w.get("levels", "2"))
    return args


def _extras(w: dict[str, str], img: np.ndarray) -> dict[str, Any]:
    """mask and distance."""
    return {
        "mask": mask(w["mask"], img.shape[0], img.shape[1]) if "mask" in w else None,
        "distance": w.get("distance", "rgb"),
    }


def filter_arguments(word: str) -> dict[str, float]:
    """The arguments of tonalis_tools.dbs that a filter word names."""
    if word.startswith("g"):
        return {"sigma": float(word[1:])}
    if word.startswith("n"):
        distance, dpi = word[1:].split(".", 1)
        return {"distance": float(distance), "dpi": float(dpi)}
    raise ValueError(f"unknown filter {word!r}")


# The parts of an opponent search's filters, as the filters file names them.
OPPONENT_PARTS = ("far", "near", "chroma", "weights")


def opponent_words(word: str) -> list[str]:
    """The filters file's words for an opponent search with filter `word`."""
    from tonalis_tools.dbs import _opponent_filters

    near = _opponent_filters(**filter_arguments(word))[1]
    return [f"{word}/{part}" for part in OPPONENT_PARTS if part != "near" or near is not None]


def filter_taps(word: str) -> np.ndarray:
    """The float32 taps of a filter word, as tonalis_tools makes them; for
    WORD/weights, the near and chroma weights."""
    from tonalis_tools.dbs import _opponent_filters, gaussian_filter, nasanen_filter

    if "/" in word:
        base, part = word.split("/")
        far, near, near_weight, chroma, chroma_weight = _opponent_filters(**filter_arguments(base))
        if part == "weights":
            return np.array([near_weight, chroma_weight], dtype=np.float32)
        made = {"far": far, "near": near, "chroma": chroma}[part]
        if made is None:
            raise ValueError(f"no {part} filter for {base}")
        return made
    args = filter_arguments(word)
    if "sigma" in args:
        return gaussian_filter(args["sigma"])
    return nasanen_filter(args["distance"], args["dpi"])


def format_filters(words: Iterable[str]) -> str:
    """The filters file: a line per filter word, its radius, then the bits
    of its taps row by row as 8-digit hexadecimal."""
    lines = [
        "# The taps of the golden corpus's direct binary search filters, as",
        "# tonalis_tools makes them: word, radius, then each tap's float32 bits.",
    ]
    for word in sorted(set(words)):
        taps = np.ascontiguousarray(filter_taps(word), dtype=np.float32)
        bits = " ".join(f"{b:08x}" for b in taps.view(np.uint32).ravel())
        size = "w" if word.endswith("/weights") else (taps.shape[0] - 1) // 2
        lines.append(f"{word} {size} {bits}")
    return "\n".join(lines) + "\n"


def dbs_filter_words(calls: Iterable[Call]) -> set[str]:
    """Every filters-file word the corpus's direct binary search calls use."""
    words = set()
    for call in calls:
        if call.family != "dbs":
            continue
        word = call.words.get("filter", "g1.2")
        words.update(opponent_words(word) if call.words.get("opponent") == "1" else [word])
    return words


def read_filters(path: Path = FILTERS) -> dict[str, np.ndarray]:
    """The recorded taps by filter word."""
    filters = {}
    for line in path.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        word, radius, *bits = line.split()
        taps = np.array([int(b, 16) for b in bits], dtype=np.uint32).view(np.float32)
        if radius == "w":
            filters[word] = taps
            continue
        side = 2 * int(radius) + 1
        filters[word] = taps.reshape(side, side)
    return filters


def run_call(call: Call) -> np.ndarray:
    """Makes the call through the public Python functions."""
    import tonalis
    import tonalis_tools

    w = call.words
    img = image(w["image"])
    f = call.family
    common = _common(w)
    seed = int(w.get("seed", "0"))
    method = w.get("method", "floyd_steinberg")
    serpentine = w.get("serpentine", "0") == "1"
    mat = matrix(w.get("matrix", "bayer8"))
    if f == "error_diffusion":
        return tonalis.error_diffusion(img, method, serpentine=serpentine, **common)
    if f == "ordered_dither":
        return tonalis.ordered_dither(img, mat, **common)
    if f == "random_dither":
        return tonalis.random_dither(img, seed=seed, **common)
    if f == "dither":
        return tonalis.dither(img, method, serpentine=serpentine, seed=seed, **common)
    if f == "diffuse":
        limit = float(w["limit"]) if "limit" in w else None
        return tonalis_tools.diffuse(
            img, method, serpentine=serpentine, error_limit=limit, **common, **_extras(w, img)
        )
    if f == "ordered":
        return tonalis_tools.ordered(img, mat, **common, **_extras(w, img))
    if f == "random":
        return tonalis_tools.random(img, seed=seed, **common, **_extras(w, img))
    if f == "pattern":
        pal = common.pop("palette")
        common.pop("levels")
        return tonalis_tools.pattern_dither(
            img,
            pal,
            matrix=mat,
            candidates=int(w.get("candidates", "8")),
            distance=w.get("distance", "rgb"),
            **common,
        )
    if f == "riemersma":
        return tonalis_tools.riemersma(
            img,
            history=int(w.get("history", "16")),
            ratio=float(w.get("ratio", "0.0625")),
            distance=w.get("distance", "rgb"),
            **common,
        )
    if f == "variable":
        common.pop("palette", None)
        return tonalis_tools.variable_diffuse(
            img, w.get("method", "ostromoukhov"), seed=seed, **common
        )
    if f == "dbs":
        if common.pop("strength") != 1.0:
            raise ValueError("direct binary search takes no strength")
        if "palette" in common:
            common.pop("levels")
        return tonalis_tools.dbs(
            img,
            **filter_arguments(w.get("filter", "g1.2")),
            passes=int(w.get("passes", "1000")),
            swaps=w.get("swaps", "1") == "1",
            start="floyd_steinberg",
            opponent=w.get("opponent", "0") == "1",
            **common,
        )
    raise ValueError(f"unknown family {f!r}")


def hash_call(call: Call) -> int:
    return fnv1a64(np.ascontiguousarray(run_call(call)).tobytes())


def mismatches(
    entries: Iterable[tuple[int, Call]], hasher: Callable[[Call], int] = hash_call
) -> list[str]:
    """One line per call whose output hash differs from the recorded one."""
    out = []
    for recorded, call in entries:
        got = hasher(call)
        if got != recorded:
            out.append(f"{got:016x} (recorded {recorded:016x}): {call.text}")
    return out
