"""Image files in and out: loading, lossless encoding and animations."""
