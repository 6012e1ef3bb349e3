"""Device output: per-channel levels, device formats and their bytes."""
