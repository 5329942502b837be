"""Benchmarks of Tarnwick against the tools a Python user would otherwise pick."""
