"""Tools of the stand-in engine."""
