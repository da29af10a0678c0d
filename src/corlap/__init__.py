"""corlap: DNA sequence-bias models and genome utilities."""

__version__ = "0.1.0"
