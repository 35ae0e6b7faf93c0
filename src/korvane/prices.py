"""Prices for the models the traces name: `--pricing auto` takes them from
the genai-prices package (the `korvane[prices]` extra, a maintained open
price list in US dollars), a pricing file's entries override them, and the
result says which model was priced from where and which was not."""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import lru_cache
from typing import Any, Iterable, Mapping, Sequence

from korvane._extras import require

# Tokens priced per lookup: few enough to stay in the first tier of prices
# that rise with the length of the prompt.
PROBE_TOKENS = 1000


@dataclass(frozen=True)
class Pricing:
    """The price table of a diff (model name -> entry, as
    compute_diff_report takes it), where each named model's entry came
    from, and the named models left without a price."""

    table: dict[str, Any] = field(default_factory=dict)
    sources: dict[str, str] = field(default_factory=dict)
    unpriced: tuple[str, ...] = ()

    def describe(self) -> dict[str, Any]:
        """The JSON form: {"priced": {model: source}, "unpriced": [...]}."""
        return {"priced": dict(sorted(self.sources.items())), "unpriced": list(self.unpriced)}


def auto_source() -> str:
    module = require("genai_prices", "prices", "--pricing auto")
    return f"genai-prices {module.__version__}"


@lru_cache(maxsize=None)
def auto_price(model: str) -> dict[str, float] | None:
    """Per-token prices of one model from genai-prices, or None when the
    list does not know it. A name such as "openai/gpt-4o" is also tried as
    model "gpt-4o" of provider "openai"."""
    module = require("genai_prices", "prices", "--pricing auto")
    attempts: list[tuple[str, dict[str, str]]] = [(model, {})]
    provider, _, rest = model.partition("/")
    if rest:
        attempts.append((rest, {"provider_id": provider}))
    for name, where in attempts:
        try:
            def price(**usage: int) -> float:
                calculation = module.calc_price(module.Usage(**usage), name, **where)
                return float(calculation.total_price) / PROBE_TOKENS

            return {
                "input": price(input_tokens=PROBE_TOKENS),
                "output": price(output_tokens=PROBE_TOKENS),
                # Cached tokens are part of the input tokens in genai-prices.
                "cached_input": price(input_tokens=PROBE_TOKENS, cache_read_tokens=PROBE_TOKENS),
                "cached_write_5m": price(input_tokens=PROBE_TOKENS,
                                         cache_write_tokens=PROBE_TOKENS),
            }
        except (LookupError, ValueError):
            continue
    return None


def trace_models(*traces: Iterable[Mapping[str, Any]]) -> list[str]:
    """The model names the traces' responses report, sorted."""
    models = set()
    for records in traces:
        for record in records:
            payload = record["payload"]
            if record["kind"] == "chat_response" and isinstance(payload, dict):
                model = payload.get("model")
                if isinstance(model, str):
                    models.add(model)
    return sorted(models)


def for_traces(baseline: Iterable[Mapping[str, Any]], candidate: Iterable[Mapping[str, Any]],
               file_table: Mapping[str, Any] | None, file_name: str,
               auto: bool) -> Pricing | None:
    """The prices of a diff of the two traces (as resolve() gives them for
    the models they name), or None when neither a table nor auto is given."""
    if file_table is None and not auto:
        return None
    return resolve(trace_models(baseline, candidate), file_table, file_name, auto)


def resolve(models: Sequence[str], file_table: Mapping[str, Any] | None = None,
            file_name: str = "pricing file", auto: bool = False) -> Pricing:
    """The price table for traces that name `models`: genai-prices entries
    when `auto`, overridden by the file's entries."""
    table: dict[str, Any] = {}
    sources: dict[str, str] = {}
    if auto:
        source = auto_source()
        for model in models:
            entry = auto_price(model)
            if entry is not None:
                table[model] = entry
                sources[model] = source
    if file_table:
        table.update(file_table)
        sources.update((model, file_name) for model in models if model in file_table)
    return Pricing(table, sources, tuple(m for m in models if m not in table))
