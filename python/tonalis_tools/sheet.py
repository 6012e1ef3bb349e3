"""Contact sheets: labelled images laid out in a grid, or stacked strips."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from PIL import Image, ImageFont

__all__ = ["contact_sheet", "shrink_to_width", "strip_sheet"]

_GAP = 8
_LABEL_PAD = 3


def _font(size: int = 13) -> Any:
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except (TypeError, OSError, ImportError, AttributeError):  # Pillow < 10.1 or no FreeType
        return ImageFont.load_default()


def _label_height(font: ImageFont.ImageFont | ImageFont.FreeTypeFont) -> int:
    from PIL import Image, ImageDraw

    draw = ImageDraw.Draw(Image.new("L", (1, 1)))
    box = draw.textbbox((0, 0), "Ag(y)", font=font)
    return int(box[3] - box[1]) + 2 * _LABEL_PAD + 2


def _flatten(image: Image.Image) -> Image.Image:
    """RGB for pasting; an alpha channel is shown over a light checkerboard."""
    from PIL import Image

    if image.mode in ("LA", "RGBA", "PA"):
        rgba = image.convert("RGBA")
        board = Image.new("RGB", rgba.size, (255, 255, 255))
        tile = 8
        dark = Image.new("RGB", (tile, tile), (204, 204, 204))
        for y in range(0, rgba.height, tile):
            for x in range((y // tile) % 2 * tile, rgba.width, 2 * tile):
                board.paste(dark, (x, y))
        board.paste(rgba, (0, 0), rgba)
        return board
    return image.convert("RGB")


def _draw_label(sheet: Image.Image, text: str, x: int, y: int, width: int, font: Any) -> None:
    from PIL import ImageDraw

    draw = ImageDraw.Draw(sheet)
    draw.fontmode = "1"  # no anti-aliasing: black and white only, so sheets stay indexable
    while text and draw.textlength(text, font=font) > width:
        text = text[:-2] + "…" if len(text) > 2 else ""
    draw.text((x, y + _LABEL_PAD), text, fill=(0, 0, 0), font=font)


def contact_sheet(
    cells: Sequence[tuple[str, Image.Image]],
    *,
    columns: int = 3,
    title: str | None = None,
) -> Image.Image:
    """Lay out (label, image) pairs in a grid, each image 1:1 with its label below.

    Cells are as wide as the widest image and as tall as the tallest; images
    are never resampled, so dither patterns show as they are.

    Args:
        cells: (label, PIL image) pairs, in reading order; transparent
            images are laid on white.
        columns: how many cells a row holds (fewer when there are fewer cells).
        title: a line of text above the grid, if any.

    Returns:
        A new RGB PIL image, white around the cells, the labels in black.

    Raises:
        ValueError: no cells.

    Examples:
        >>> from PIL import Image
        >>> gray, red = Image.new("L", (40, 30), 128), Image.new("RGB", (20, 50), "red")
        >>> sheet = contact_sheet([("gray", gray), ("red", red)], columns=2, title="two")
        >>> sheet.mode, sheet.width
        ('RGB', 104)
    """
    from PIL import Image

    if not cells:
        raise ValueError("a contact sheet needs at least one image")
    font = _font()
    label_h = _label_height(font)
    title_h = label_h + _GAP if title else 0
    columns = max(1, min(columns, len(cells)))
    rows = -(-len(cells) // columns)
    cell_w = max(im.width for _, im in cells)
    cell_h = max(im.height for _, im in cells)
    width = columns * cell_w + (columns + 1) * _GAP
    height = title_h + rows * (cell_h + label_h) + (rows + 1) * _GAP
    sheet = Image.new("RGB", (width, height), (255, 255, 255))
    if title:
        _draw_label(sheet, title, _GAP, _GAP, width - 2 * _GAP, font)
    for i, (label, image) in enumerate(cells):
        row, col = divmod(i, columns)
        x = _GAP + col * (cell_w + _GAP)
        y = title_h + _GAP + row * (cell_h + label_h + _GAP)
        sheet.paste(_flatten(image), (x, y))
        _draw_label(sheet, label, x, y + image.height, cell_w, font)
    return sheet


def strip_sheet(strips: Sequence[tuple[str, Image.Image]]) -> Image.Image:
    """Stack (label, image) pairs vertically, each label above its image.

    Args:
        strips: (label, PIL image) pairs, top to bottom.

    Returns:
        A new RGB PIL image as wide as the widest strip and a margin.

    Raises:
        ValueError: no strips.

    Examples:
        >>> from PIL import Image
        >>> sheet = strip_sheet([("mid gray", Image.new("L", (40, 10), 128))])
        >>> sheet.mode, sheet.width
        ('RGB', 56)
    """
    from PIL import Image

    if not strips:
        raise ValueError("a strip sheet needs at least one image")
    font = _font()
    label_h = _label_height(font)
    width = max(im.width for _, im in strips) + 2 * _GAP
    height = sum(im.height + label_h for _, im in strips) + _GAP
    sheet = Image.new("RGB", (width, height), (255, 255, 255))
    y = 0
    for label, image in strips:
        _draw_label(sheet, label, _GAP, y, width - 2 * _GAP, font)
        y += label_h
        sheet.paste(_flatten(image), (_GAP, y))
        y += image.height
    return sheet


def shrink_to_width(image: Image.Image, width: int) -> Image.Image:
    """`image` scaled down (Lanczos) to `width` pixels when it is wider; else itself.

    Args:
        image: a PIL image.
        width: the widest the result may be; 0 or less leaves the image as it is.

    Returns:
        A new, smaller PIL image with the same aspect ratio, or `image` itself.

    Examples:
        >>> from PIL import Image
        >>> shrink_to_width(Image.new("RGB", (400, 100)), 100).size
        (100, 25)
        >>> small = Image.new("RGB", (40, 10))
        >>> shrink_to_width(small, 100) is small
        True
    """
    from PIL import Image

    if width <= 0 or image.width <= width:
        return image
    height = max(1, round(image.height * width / image.width))
    return image.resize((width, height), Image.Resampling.LANCZOS)
