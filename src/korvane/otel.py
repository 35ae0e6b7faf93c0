"""An OpenTelemetry span exporter that writes an .agentlog trace.

    from opentelemetry.sdk.trace.export import BatchSpanProcessor
    from korvane.otel import AgentlogSpanExporter

    provider.add_span_processor(BatchSpanProcessor(AgentlogSpanExporter("run.agentlog")))

Spans of model calls and tool runs (GenAI semantic conventions or
OpenInference) become records through the same mapping as `korvane import
otel` (korvane.importers.spans), written as the spans end by a korvane.record.Recorder:
a metadata record first, then each span's records, one complete line at a
time. Needs the `korvane[otel]` extra (opentelemetry-sdk)."""

from __future__ import annotations

import os
from typing import Any, Sequence

from korvane import _extras
from korvane.importers.spans import Span, span_records
from korvane.record import Recorder

_export = _extras.require("opentelemetry.sdk.trace.export", "otel", "korvane.otel")
_trace = _extras.require("opentelemetry.trace", "otel", "korvane.otel")


def _attributes(attributes: Any) -> dict[str, Any]:
    """SDK attributes as JSON values (sequences are tuples there)."""
    return {k: list(v) if isinstance(v, tuple) else v for k, v in (attributes or {}).items()}


def from_sdk(span: Any) -> Span:
    """A ReadableSpan of the SDK in the neutral form."""
    context, parent = span.context, span.parent
    status = span.status
    error = (status.description or "") if status.status_code == _trace.StatusCode.ERROR else None
    return Span(format(context.trace_id, "032x"), format(context.span_id, "016x"),
                format(parent.span_id, "016x") if parent is not None else None, span.name,
                span.start_time or 0, span.end_time or span.start_time or 0,
                _attributes(span.attributes),
                [(e.name, e.timestamp, _attributes(e.attributes)) for e in span.events], error)


_SpanExporter: Any = _export.SpanExporter


class AgentlogSpanExporter(_SpanExporter):  # type: ignore[misc]
    """Writes finished spans to the .agentlog file `path` (created or
    truncated). `task_id`, `agent`, `tags` and `fsync` are as for Recorder.
    A failure to write raises korvane.record.RecordingError, which the
    span processor reports."""

    def __init__(self, path: str | os.PathLike[str], *, task_id: str | None = None,
                 agent: str | None = None, tags: dict[str, Any] | None = None,
                 fsync: bool = False) -> None:
        self.recorder = Recorder(path, task_id=task_id, agent=agent, tags=tags, fsync=fsync)

    def export(self, spans: Sequence[Any]) -> Any:
        for span in spans:
            for record in span_records(from_sdk(span), self.recorder.metadata_id):
                self.recorder.write(record)
        return _export.SpanExportResult.SUCCESS

    def shutdown(self) -> None:
        self.recorder.close()

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        return True  # every record is written when its span is exported
