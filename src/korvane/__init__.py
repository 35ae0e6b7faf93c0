"""korvane: record and compare the traces of LLM agents."""

from korvane._core import (
    SPEC_VERSION,
    __version__,
    canonical_bytes,
    compute_diff_report,
    content_id,
    parse_agentlog,
    write_agentlog,
)

__all__ = [
    "__version__",
    "SPEC_VERSION",
    "parse_agentlog",
    "write_agentlog",
    "canonical_bytes",
    "content_id",
    "compute_diff_report",
]
