"""Utilities of corlap: FASTA access and the compiled sequence module."""
