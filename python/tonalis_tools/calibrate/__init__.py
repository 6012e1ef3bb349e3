"""Calibration of a panel's colours: a chart to show on it, and the
measurement of a photograph of that chart.

`chart` draws the patches of a panel's driver colours with a marker in
every corner; `measure` finds the markers in a photograph of the panel
showing it, samples every patch and gives the colours the panel really
shows, white-balanced to its own white, as a palette to dither against.
"""

from __future__ import annotations

from .markers import Marker, find_markers, homography, project
from .measurement import CalibrationError, Measurement, measure, write_measurement
from .patches import DEFAULT_SIZE, Chart, Patch, chart, parse_size

__all__ = [
    "DEFAULT_SIZE",
    "CalibrationError",
    "Chart",
    "Marker",
    "Measurement",
    "Patch",
    "chart",
    "find_markers",
    "homography",
    "measure",
    "parse_size",
    "project",
    "write_measurement",
]
