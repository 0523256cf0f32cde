"""Agent helpers of the stand-in engine."""
