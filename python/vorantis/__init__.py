"""Vorantis avatar engine."""
