"""Palettes: presets, palette files, colour names and e-paper panels."""
