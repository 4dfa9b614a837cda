"""Engine modules of the Vorantis avatar engine."""
