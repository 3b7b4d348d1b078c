"""Regenerates the built-in weight files: synthetic spectra, the guesser
network in PyTorch, training, export to .eisnn and a quality report."""
