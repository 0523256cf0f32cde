"""Command-line side of the stand-in engine."""
