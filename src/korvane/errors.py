"""The error raised for bad input files."""

from __future__ import annotations


class InputError(ValueError):
    """Input that cannot be used, with a message that names the file and the
    line (or span, or task) and the reason, for example
    ``run.jsonl:12: response has no "model"``. The command line prints it as
    one line and exits with status 2."""
