"""Many files at once: output planning and the Dask batch."""
