"""The refined engines (compiled); call them through tonalis_tools.diffuse, ordered and random."""

from typing import Any

import numpy as np
import numpy.typing as npt

def diffuse(
    limit: float,
    mask: npt.NDArray[np.float32] | None,
    distance: int,
    image: Any,
    method: str = ...,
    *,
    levels: int = ...,
    palette: Any = ...,
    serpentine: bool = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> Any: ...
def ordered(
    mask: npt.NDArray[np.float32] | None,
    distance: int,
    image: Any,
    matrix: Any = ...,
    *,
    levels: int = ...,
    palette: Any = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> Any: ...
def random(
    mask: npt.NDArray[np.float32] | None,
    distance: int,
    image: Any,
    *,
    levels: int = ...,
    palette: Any = ...,
    seed: int | None = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> Any: ...
def pattern(
    candidates: int,
    distance: int,
    image: Any,
    matrix: Any = ...,
    *,
    levels: int = ...,
    palette: Any = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> Any: ...
def variable(
    kind: int,
    image: Any,
    *,
    levels: int = ...,
    seed: int | None = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> Any: ...
def riemersma(
    history: int,
    ratio: float,
    distance: int,
    image: Any,
    *,
    levels: int = ...,
    palette: Any = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> Any: ...
def dbs(
    filters: Any,
    passes: int,
    swaps: bool,
    start: Any,
    image: Any,
    *,
    levels: int = ...,
    palette: Any = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> tuple[Any, int, int, int]: ...
def weights(kind: int) -> tuple[tuple[float, float, float], ...]: ...
