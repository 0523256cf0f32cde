"""Scheduled jobs of the stand-in engine."""
