"""The entry point the Python interpreter calls when `korvane._core` is
imported. Registers every function above."""

# Type information for the native module. The TypedDicts and aliases below
# exist for type checkers only: import them under `typing.TYPE_CHECKING`.

from typing import Any, Literal, NotRequired, SupportsIndex, TypeAlias, TypedDict

__all__ = [
    "__version__",
    "SPEC_VERSION",
    "parse_agentlog",
    "write_agentlog",
    "canonical_bytes",
    "content_id",
    "compute_diff_report",
]

__version__: str
SPEC_VERSION: str

# --- Records -----------------------------------------------------------------

RecordKind: TypeAlias = Literal[
    "metadata",
    "chat_request",
    "chat_response",
    "tool_call",
    "tool_result",
    "error",
    "replay_summary",
]

class AgentRecord(TypedDict):
    """One record as `parse_agentlog` returns it, keys in this order.

    "meta" is present only when the record carries one; "parent" is always
    present and None when the record has no parent. The payload is any
    JSON-shaped value (None, bool, int, float, str, list, dict).
    """

    version: str
    id: str
    kind: RecordKind
    ts: str
    parent: str | None
    meta: NotRequired[dict[str, Any]]
    payload: Any

# --- Pricing -----------------------------------------------------------------

class ModelPrices(TypedDict):
    """The mapping form of one price entry. Prices are per token, in any
    currency; a price that is absent or not above 0 falls back to the input
    price (cached and cache-write prices) or the output price (reasoning),
    and a batch_discount that is absent or not above 0 applies no discount.
    Other keys are ignored."""

    input: float
    output: float
    cached_input: NotRequired[float]
    cached_write_5m: NotRequired[float]
    cached_write_1h: NotRequired[float]
    reasoning: NotRequired[float]
    batch_discount: NotRequired[float]

# One price entry: (input, output); a sequence of 2 to 7 prices in the order
# input, output, cached_input, cached_write_5m, cached_write_1h, reasoning,
# batch_discount; or a ModelPrices mapping.
PriceEntry: TypeAlias = tuple[float, float] | list[float] | tuple[float, ...] | ModelPrices

# Model name -> price entry. dict is invariant in its value type, so the
# homogeneous forms are listed too: a dict built from tuples alone, lists
# alone or mappings alone type-checks without an annotation.
Pricing: TypeAlias = (
    dict[str, PriceEntry]
    | dict[str, tuple[float, float]]
    | dict[str, list[float]]
    | dict[str, ModelPrices]
)

# --- The diff report -----------------------------------------------------------

AxisName: TypeAlias = Literal[
    "semantic",
    "trajectory",
    "safety",
    "verbosity",
    "latency",
    "cost",
    "reasoning",
    "judge",
    "conformance",
]
Severity: TypeAlias = Literal["none", "minor", "moderate", "severe"]
AxisFlag: TypeAlias = Literal["low_power", "ci_crosses_zero", "no_pricing"]
DriftKind: TypeAlias = Literal["style_drift", "decision_drift", "structural_drift"]
RecommendationSeverity: TypeAlias = Literal["error", "warning", "info"]
RecommendationAction: TypeAlias = Literal["restore", "remove", "revert", "review", "verify"]

class AxisRow(TypedDict):
    """One axis of the report. A number that is not finite is None.

    "baseline_median" and "candidate_median" are medians, except on the
    safety and conformance axes where they are means (rates). "delta" is
    candidate minus baseline; "ci95_low" and "ci95_high" bound its paired
    bootstrap 95% interval; "n" counts the response pairs the row rests on.
    """

    axis: AxisName
    baseline_median: float | None
    candidate_median: float | None
    delta: float | None
    ci95_low: float | None
    ci95_high: float | None
    severity: Severity
    n: int
    flags: list[AxisFlag]

class Divergence(TypedDict):
    """Where and how the candidate departs from the baseline: turn indices
    count the chat_response records of each trace from 0."""

    baseline_turn: int
    candidate_turn: int
    kind: DriftKind
    primary_axis: AxisName
    explanation: str
    confidence: float | None

class Recommendation(TypedDict):
    """A one-line instruction derived from a divergence or a severe row."""

    severity: RecommendationSeverity
    action: RecommendationAction
    turn: int
    message: str
    rationale: str
    axis: AxisName
    confidence: float | None

class AxisScore(TypedDict):
    """One axis of one response pair; normalized_delta is on a 0 to 4 scale."""

    axis: AxisName
    baseline_value: float | None
    candidate_value: float | None
    delta: float | None
    normalized_delta: float | None

class PairDrilldown(TypedDict):
    """One of the most regressed response pairs, with eight axis scores
    (every axis but judge) summed into regression_score."""

    pair_index: int
    baseline_turn: int
    candidate_turn: int
    axis_scores: list[AxisScore]
    regression_score: float | None
    dominant_axis: AxisName

class DiffReport(TypedDict):
    """The nine-axis diff of two traces, keys in this order.

    "rows" always holds nine rows in axis order; "first_divergence" is None
    when the traces do not diverge; "divergences" (at most 5),
    "recommendations" (at most 8) and "drill_down" (at most 5) are ranked.
    """

    rows: list[AxisRow]
    baseline_trace_id: str
    candidate_trace_id: str
    pair_count: int
    first_divergence: Divergence | None
    divergences: list[Divergence]
    recommendations: list[Recommendation]
    drill_down: list[PairDrilldown]

# --- Functions -----------------------------------------------------------------

def parse_agentlog(data: bytes) -> list[AgentRecord]:
    """Parse a `.agentlog` byte blob into a list of record dicts."""

def write_agentlog(records: list[Any]) -> bytes:
    """Serialize a list of record dicts into `.agentlog` bytes."""

def canonical_bytes(payload: object) -> bytes:
    """Canonical-JSON byte sequence for a payload (SPEC §5)."""

def content_id(payload: object) -> str:
    """Content id for a payload dict (SPEC §6)."""

def compute_diff_report(
    baseline: list[Any],
    candidate: list[Any],
    pricing: Pricing | None = None,
    seed: SupportsIndex | None = None,
) -> DiffReport:
    """Compute a nine-axis diff between two traces.

    `baseline` and `candidate` are lists of record dicts (as produced by
    [`parse_agentlog`]). `pricing` is a `dict[str, tuple[float, float]]`
    mapping model name → (price_per_input_token, price_per_output_token).
    `seed` is an optional RNG seed for reproducible bootstrap CIs."""
