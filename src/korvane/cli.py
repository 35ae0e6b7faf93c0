"""The `korvane` command line.

    korvane diff BASELINE CANDIDATE [--pricing FILE] [--seed N] [--json] [--html FILE]
    korvane validate FILE...
    korvane id FILE
    korvane import FORMAT INPUT... -o OUT

Exit status: 0 on success (for diff: no severe row and no error
recommendation), 1 when a diff finds a regression, 2 on bad input or usage
and on an internal failure.
Problems are reported as one "korvane: ..." line on standard error (a trace
that does not parse adds the reader's hint line), never as a traceback.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import stat
import sys
import time
from collections import Counter
from typing import TYPE_CHECKING, Any, NoReturn, Sequence, TextIO

import korvane
from korvane.html_report import render_html
from korvane.summary import gate_fails, render_text

if TYPE_CHECKING:
    from korvane._core import AgentRecord, DiffReport

EXIT_OK = 0
EXIT_REGRESSION = 1
EXIT_BAD_INPUT = 2
EXIT_BROKEN_PIPE = 141  # what a shell reports for a process killed by SIGPIPE

# The reader refuses traces above 1 GiB; larger files are refused before
# they are loaded into memory.
MAX_TRACE_BYTES = 1 << 30

# Above these sizes a stage is expected to take about a second or more and
# is announced on standard error before it starts. Reading and parsing run
# at about 40 MB/s; a diff of 2454 against 2454 responses takes about half a
# second, growing roughly linearly beyond that (the alignment is banded).
LARGE_READ_BYTES = 32 << 20
LARGE_DIFF_RESPONSES = 8000

KINDS = ("metadata", "chat_request", "chat_response", "tool_call", "tool_result",
         "error", "replay_summary")


class CliError(Exception):
    """A problem with the user's input: printed as one line, exit status 2."""


class Progress:
    """Stage messages on standard error for work that takes a while.

    The native calls hold the interpreter lock for their whole duration, so
    nothing can report from inside one (a timer thread would only fire
    after the call returns). A stage is therefore announced just before it
    starts, when its input is large enough to take about a second, or once
    the command has already run for more than a second."""

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self.stream = stream
        self.enabled = enabled
        self.start = time.monotonic()

    def stage(self, message: str, large: bool) -> None:
        if self.enabled and (large or time.monotonic() - self.start >= 1.0):
            print(f"korvane: {message} …", file=self.stream, flush=True)


# --- Input ---------------------------------------------------------------------

def read_bytes(path: str, limit: int | None = None) -> bytes:
    """The whole file, or CliError naming the file and the system's reason."""
    try:
        with open(path, "rb") as handle:
            info = os.fstat(handle.fileno())
            if limit is None:
                return handle.read()
            if stat.S_ISREG(info.st_mode) and info.st_size > limit:
                raise CliError(f"{path}: file of {info.st_size} bytes exceeds the "
                               f"trace limit of {limit} bytes")
            # A pipe or device has no size to check first: read one byte past
            # the limit at most.
            data = handle.read(limit + 1)
            if len(data) > limit:
                raise CliError(f"{path}: input exceeds the trace limit of {limit} bytes")
            return data
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror or error}") from None


def read_trace(path: str, progress: Progress) -> list[AgentRecord]:
    data = read_bytes(path, MAX_TRACE_BYTES)
    progress.stage(f"reading {path} ({len(data) / 1e6:.1f} MB)", len(data) >= LARGE_READ_BYTES)
    try:
        return korvane.parse_agentlog(data)
    except ValueError as error:
        # The reader's message names the line and ends with a hint line.
        raise CliError(f"{path}: {error}") from None


def _reject_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for key, value in pairs:
        if key in out:
            raise CliError(f"duplicate key {json.dumps(key, ensure_ascii=False)}")
        out[key] = value
    return out


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise CliError(f"number {text} is out of range")
    return value


def _reject_constant(name: str) -> NoReturn:
    raise CliError(f"{name} is not a number")


def load_pricing(path: str) -> dict[str, Any]:
    """A pricing file: a JSON object mapping model names to price entries,
    each a list of 2 to 7 prices [input, output, cached_input,
    cached_write_5m, cached_write_1h, reasoning, batch_discount] or an
    object with at least "input" and "output". Every entry is checked here
    so that an error can name its model."""
    data = read_bytes(path)
    try:
        text = data.decode("utf-8-sig")
        table = json.loads(text, object_pairs_hook=_reject_duplicates,
                           parse_float=_finite_float, parse_constant=_reject_constant)
    except UnicodeDecodeError:
        raise CliError(f"{path}: pricing file is not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise CliError(f"{path}: pricing file is not valid JSON: {error}") from None
    except CliError as error:
        raise CliError(f"{path}: {error}") from None
    except (ValueError, RecursionError) as error:
        # An integer too long to convert, or nesting too deep for the decoder.
        raise CliError(f"{path}: pricing file is not valid JSON: {error}") from None
    if not isinstance(table, dict):
        raise CliError(f"{path}: pricing file must hold a JSON object mapping model names "
                       f"to prices, not {type(table).__name__}")
    for model, entry in table.items():
        try:
            # An empty diff does no work beyond reading the price table.
            korvane.compute_diff_report([], [], {model: entry}, seed=0)
        except ValueError as error:
            reason = str(error).removeprefix("pricing value: ")
            raise CliError(f"{path}: model {json.dumps(model, ensure_ascii=False)}: "
                           f"{reason}") from None
    return table


# --- Output --------------------------------------------------------------------

def _utf8(stream: TextIO) -> bool:
    encoding = (getattr(stream, "encoding", None) or "").lower().replace("-", "").replace("_", "")
    return encoding in ("utf8", "utf8sig")


def _use_colour(stream: TextIO) -> bool:
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def write_text_file(path: str, text: str) -> None:
    try:
        # Trace file names may hold bytes that are not UTF-8 (lone surrogates).
        with open(path, "w", encoding="utf-8", errors="backslashreplace") as handle:
            handle.write(text)
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror or error}") from None


# --- Commands ------------------------------------------------------------------

def cmd_diff(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    progress = Progress(err, not args.quiet)
    pricing = load_pricing(args.pricing) if args.pricing is not None else None
    baseline = read_trace(args.baseline, progress)
    candidate = read_trace(args.candidate, progress)

    responses = [sum(1 for r in trace if r["kind"] == "chat_response")
                 for trace in (baseline, candidate)]
    progress.stage(f"diffing {responses[0]} baseline and {responses[1]} candidate responses",
                   sum(responses) >= LARGE_DIFF_RESPONSES)
    report: DiffReport = korvane.compute_diff_report(baseline, candidate, pricing, args.seed)

    if args.html is not None:
        write_text_file(args.html, render_html(report, args.baseline, args.candidate))
    if args.json:
        # The binding turns non-finite numbers into None, so strict JSON holds.
        out.write(json.dumps(report, indent=2, ensure_ascii=not _utf8(out), allow_nan=False))
        out.write("\n")
    else:
        out.write(render_text(report, args.baseline, args.candidate, color=_use_colour(out)))
    if args.html is not None and not args.quiet:
        out.flush()
        print(f"korvane: wrote {args.html}", file=err)
    return EXIT_REGRESSION if gate_fails(report) else EXIT_OK


def cmd_validate(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    progress = Progress(err, not args.quiet)
    status = EXIT_OK
    for path in args.files:
        try:
            records = read_trace(path, progress)
        except CliError as error:
            print(f"korvane: {error}", file=err)
            status = EXIT_BAD_INPUT
            continue
        counts: Counter[str] = Counter(r["kind"] for r in records)
        out.write(f"{path}: valid, {len(records)} record{'s' if len(records) != 1 else ''}\n")
        for kind in KINDS:
            out.write(f"  {kind:<15} {counts.get(kind, 0):>8}\n")
    return status


def cmd_id(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    records = read_trace(args.file, Progress(err, not args.quiet))
    for record in records:
        out.write(korvane.content_id(record["payload"]) + "\n")
    return EXIT_OK


def cmd_import(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from korvane.errors import InputError
    from korvane.importers import import_traces
    try:
        written = import_traces(args.format, args.inputs, args.output, err, args.quiet)
    except InputError as error:
        raise CliError(str(error)) from None
    if not args.quiet:
        print(f"korvane: wrote {len(written)} trace{'s' if len(written) != 1 else ''}"
              + (f" to {args.output}" if len(written) != 1 else f": {written[0]}"), file=err)
    return EXIT_OK


# --- Argument parsing ----------------------------------------------------------

def _seed(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"must be between 0 and 2**64 - 1: {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="korvane",
        description="Read, check and compare .agentlog traces of LLM agents.",
        epilog="Exit status: 0 success, 1 regression found by diff, 2 bad input.",
    )
    parser.add_argument("--version", action="version",
                        version=f"korvane {korvane.__version__} (trace format "
                                f"{korvane.SPEC_VERSION})")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    quiet = argparse.ArgumentParser(add_help=False)
    quiet.add_argument("-q", "--quiet", action="store_true",
                       help="print no progress or status notes on standard error")

    diff = commands.add_parser(
        "diff", parents=[quiet], help="compare a candidate trace with a baseline trace",
        description="Compare two traces on nine behavioural axes and print a summary. "
                    "Exit status 1 when a row is severe or a recommendation is an error, "
                    "so the command can gate a CI job.")
    diff.add_argument("baseline", metavar="BASELINE", help="the reference .agentlog trace")
    diff.add_argument("candidate", metavar="CANDIDATE", help="the .agentlog trace to check")
    diff.add_argument("--pricing", metavar="FILE",
                      help='JSON object mapping model names to per-token prices: '
                           '[input, output, ...] or {"input": ..., "output": ...}')
    diff.add_argument("--seed", metavar="N", type=_seed,
                      help="seed of the bootstrap, for reproducible intervals")
    diff.add_argument("--json", action="store_true",
                      help="print the report as JSON instead of the summary")
    diff.add_argument("--html", metavar="FILE",
                      help="also write the report as a self-contained HTML page")
    diff.set_defaults(run=cmd_diff)

    validate = commands.add_parser(
        "validate", parents=[quiet], help="check that traces parse and count their records",
        description="Parse each trace and print its record counts by kind, or the "
                    "reader's message for the first bad line.")
    validate.add_argument("files", metavar="FILE", nargs="+")
    validate.set_defaults(run=cmd_validate)

    ident = commands.add_parser(
        "id", parents=[quiet], help="print the content id of each record's payload",
        description="Print the content id (sha256 of the canonical JSON) of each "
                    "record's payload, one per line, in trace order.")
    ident.add_argument("file", metavar="FILE")
    ident.set_defaults(run=cmd_id)

    imports = commands.add_parser(
        "import", parents=[quiet], help="convert OTLP JSON traces or API logs to .agentlog",
        description="Convert OTLP JSON traces (GenAI or OpenInference spans; one trace per "
                    "trace id) or OpenAI / Anthropic API logs (JSON Lines of request and "
                    "response pairs; one trace per file) to .agentlog traces.")
    imports.add_argument("format", metavar="FORMAT", choices=("otel", "openai", "anthropic"),
                         help="otel, openai or anthropic")
    imports.add_argument("inputs", metavar="INPUT", nargs="+")
    imports.add_argument("-o", "--output", metavar="OUT", required=True,
                         help="the .agentlog file, or a directory (existing, or ending in /) "
                              "for one file per trace")
    imports.set_defaults(run=cmd_import)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    out, err = sys.stdout, sys.stderr
    for stream in (out, err):
        # Trace texts may hold characters the terminal's encoding lacks.
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        # Usage errors (status 2), --help and --version (status 0).
        return exit_.code if isinstance(exit_.code, int) else EXIT_BAD_INPUT
    if args.command is None:
        parser.print_help(err)
        return EXIT_BAD_INPUT
    try:
        status: int = args.run(args, out, err)
        out.flush()
        return status
    except CliError as error:
        print(f"korvane: {error}", file=err)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("korvane: interrupted", file=err)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (for example `| head`): stop
        # quietly, and keep the interpreter from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except BaseException as error:
        # A fault of korvane itself (the module's internal failure derives
        # from BaseException): one line, and never the regression status.
        if isinstance(error, (SystemExit, GeneratorExit)):
            raise
        print(f"korvane: internal error: {type(error).__name__}: {error}", file=err)
        return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
