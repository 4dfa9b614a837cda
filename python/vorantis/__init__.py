"""Vorantis avatar engine."""

__version__ = "0.1.0"
