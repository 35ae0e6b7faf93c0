"""The `korvane` command line: it parses arguments, calls the package and
prints.

    korvane diff BASELINE CANDIDATE [--pricing FILE|auto] [--seed N] [--json] [--html FILE]
    korvane suite BASELINE [CANDIDATE] [--jobs N] [--engine process|ray|dask] [--out FILE]
    korvane validate FILE...
    korvane id FILE
    korvane import FORMAT INPUT... -o OUT

A trace argument of "-" reads standard input. Exit status: 0 success (for
diff and suite: no regression), 1 a regression, 2 bad input or usage,
nothing to compare, or an internal failure, 130 interrupted. Problems are
one "korvane: ..." line on standard error (a trace that does not parse adds
the reader's hint line), escaped and cut to a readable length, never a
traceback.

Each subcommand is one add_* function (its arguments) and one cmd_*
function (its work); COMMANDS lists the add_* functions in help order."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from collections import Counter
from contextlib import contextmanager
from typing import Any, Callable, Iterator, NoReturn, Sequence, TextIO

import korvane
import korvane.suite
from korvane import prices
from korvane._files import atomic_output
from korvane.errors import InputError
from korvane.inputs import STDIN, display_name, load_pricing, read_trace
from korvane.render import json_report
from korvane.render.html import render_html, render_suite_html
from korvane.render.junit import render_junit
from korvane.render.markdown import render_markdown
from korvane.render.terminal import render_suite_text, render_text
from korvane.render.text import message_lines
from korvane.verdict import AXES, SEVERITIES, Rule, count_responses, judge

EXIT_OK = 0
EXIT_REGRESSION = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # what a shell reports for a process killed by SIGPIPE

# Above these sizes a stage is expected to take about a second or more and
# is announced on standard error before it starts. Reading and parsing run
# at about 40 MB/s; a diff of 2454 against 2454 responses takes about half a
# second, growing roughly linearly beyond that (the alignment is banded).
LARGE_READ_BYTES = 32 << 20
LARGE_DIFF_RESPONSES = 8000

KINDS = ("metadata", "chat_request", "chat_response", "tool_call", "tool_result",
         "error", "replay_summary")


class StdoutError(Exception):
    """Standard output is closed or cannot be written (a full disk)."""


@contextmanager
def _stdout_failures() -> Iterator[None]:
    """A failed write to standard output as StdoutError; a closed pipe
    stays BrokenPipeError."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        raise StdoutError(error.strerror or str(error)) from None


class Console:
    """Standard output for results and standard error for "korvane: ..."
    lines. A write to standard output that fails raises StdoutError, except
    a closed pipe (BrokenPipeError), which main() treats as the reader
    having gone away."""

    def __init__(self, out: TextIO | None, err: TextIO | None) -> None:
        self.out = out
        self.err = err

    def write(self, text: str) -> None:
        if self.out is None:
            raise StdoutError("it is closed")
        with _stdout_failures():
            self.out.write(text)

    def flush(self) -> None:
        if self.out is not None:
            with _stdout_failures():
                self.out.flush()

    def say(self, message: str) -> None:
        """One "korvane: " line per line of the message, escaped and cut."""
        if self.err is None:
            return
        for line in message_lines(message):
            print(f"korvane: {line}" if not line.startswith("hint: ") else line,
                  file=self.err, flush=True)

    @property
    def utf8(self) -> bool:
        encoding = (getattr(self.out, "encoding", None) or "").lower().replace("-", "")
        return encoding.replace("_", "") in ("utf8", "utf8sig")

    @property
    def colour(self) -> bool:
        if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
            return False
        isatty = getattr(self.out, "isatty", None)
        return bool(isatty and isatty())


class Stages:
    """Stage messages on standard error for work that takes a while.

    The native calls hold the interpreter lock for their whole duration, so
    nothing can report from inside one (a timer thread would only fire
    after the call returns). A stage is therefore announced just before it
    starts, when its input is large enough to take about a second, or once
    the command has already run for more than a second."""

    def __init__(self, console: Console, enabled: bool) -> None:
        self.console = console
        self.enabled = enabled
        self.start = time.monotonic()

    def stage(self, message: str, large: bool) -> None:
        if self.enabled and (large or time.monotonic() - self.start >= 1.0):
            self.console.say(f"{message} …")

    def reading(self, path: str) -> Callable[[int], None]:
        return lambda size: self.stage(f"reading {display_name(path)} ({size / 1e6:.1f} MB)",
                                       size >= LARGE_READ_BYTES)


def write_file(path: str, text: str) -> None:
    """The whole text to path, or nothing (the old file stays)."""
    try:
        with atomic_output(path, "w") as handle:
            handle.write(text)
    except OSError as error:
        raise InputError(f"cannot write {path}: {error.strerror or error}") from None


def _usage(args: argparse.Namespace, message: str) -> NoReturn:
    """A usage error found after parsing, printed as argparse prints its own."""
    parser: argparse.ArgumentParser = args.parser
    parser.error(message)


def _rule(args: argparse.Namespace) -> Rule:
    try:
        return Rule.parse(args.fail_on, args.fail_severity)
    except ValueError as error:
        _usage(args, str(error))


def _pricing(args: argparse.Namespace) -> tuple[dict[str, Any] | None, str | None, bool]:
    """The pricing file's table and name (or None) and whether auto is on."""
    given = args.pricing or []
    files = [p for p in given if p != "auto"]
    if len(files) > 1:
        _usage(args, "--pricing names more than one file; merge them into one")
    path = files[0] if files else None
    return (load_pricing(path) if path else None), path, "auto" in given


# --- diff ------------------------------------------------------------------------

def add_diff(commands: Any, common: list[argparse.ArgumentParser]) -> None:
    diff = commands.add_parser(
        "diff", parents=common, help="compare a candidate trace with a baseline trace",
        description="Compare two traces on nine behavioural axes and print a summary. "
                    "Exit status 1 when the candidate regresses (see --fail-on), 2 when "
                    "there is nothing to compare, so the command can gate a CI job.")
    diff.add_argument("baseline", metavar="BASELINE",
                      help='the reference .agentlog trace ("-" for standard input)')
    diff.add_argument("candidate", metavar="CANDIDATE",
                      help='the .agentlog trace to check ("-" for standard input)')
    diff.add_argument("--json", action="store_true",
                      help="print the report as JSON instead of the summary")
    diff.add_argument("--html", metavar="FILE",
                      help="also write the report as a self-contained HTML page")
    diff.set_defaults(run=cmd_diff, parser=diff)


def cmd_diff(args: argparse.Namespace, console: Console) -> int:
    if args.baseline == STDIN and args.candidate == STDIN:
        _usage(args, "only one of BASELINE and CANDIDATE can be standard input")
    rule = _rule(args)
    table, table_name, auto = _pricing(args)
    stages = Stages(console, not args.quiet)
    baseline = read_trace(args.baseline, stages.reading(args.baseline))
    candidate = read_trace(args.candidate, stages.reading(args.candidate))
    pricing = prices.for_traces(baseline, candidate, table, table_name or "pricing file", auto)

    responses = (count_responses(baseline), count_responses(candidate))
    stages.stage(f"diffing {responses[0]} baseline and {responses[1]} candidate responses",
                 sum(responses) >= LARGE_DIFF_RESPONSES)
    report = korvane.compute_diff_report(baseline, candidate,
                                         pricing.table if pricing else None, args.seed)
    verdict = judge(report, responses[0], responses[1], rule)
    names = display_name(args.baseline), display_name(args.candidate)

    if args.html is not None:
        write_file(args.html, render_html(report, *names, verdict=verdict, pricing=pricing))
    if args.json:
        console.write(json_report.diff_json(report, verdict, pricing, ascii_only=not console.utf8))
    else:
        console.write(render_text(report, *names, color=console.colour, verdict=verdict,
                                  pricing=pricing))
    if args.html is not None and not args.quiet:
        console.flush()
        console.say(f"wrote {args.html}")
    return verdict.exit_status


# --- suite -----------------------------------------------------------------------

def add_suite(commands: Any, common: list[argparse.ArgumentParser]) -> None:
    suite = commands.add_parser(
        "suite", parents=common, help="diff every task of a benchmark run",
        description="Diff the baseline and candidate traces of every task, on all cores or "
                    "on a Ray or Dask cluster, and add the diffs up. BASELINE and CANDIDATE "
                    "are directories of .agentlog traces paired by task id (the task_id of "
                    "a trace's first metadata record, else its relative path), or manifests "
                    '(JSON Lines of {"task", "baseline", "candidate"}); one manifest alone '
                    "names both sides. Exit status 1 when a task fails or a gated axis's "
                    "suite-level interval lies wholly on the worse side.")
    suite.add_argument("baseline", metavar="BASELINE",
                       help="a directory of baseline traces, or a manifest")
    suite.add_argument("candidate", metavar="CANDIDATE", nargs="?",
                       help="a directory of candidate traces, or a manifest; none when "
                            "BASELINE is a manifest that names both sides")
    suite.add_argument("--jobs", metavar="N", type=_positive,
                       help="worker processes (default: the CPU count)")
    suite.add_argument("--engine", choices=korvane.suite.ENGINES, default="process",
                       help="where tasks run: local worker processes (default), Ray or Dask")
    suite.add_argument("--address", metavar="ADDRESS",
                       help="the Ray cluster (default: RAY_ADDRESS, else a local one) or Dask "
                            "scheduler (default: a local cluster of --jobs workers)")
    suite.add_argument("--ship", action="store_true",
                       help="send the traces' bytes to the cluster instead of their paths")
    suite.add_argument("--out", metavar="FILE",
                       help="write one JSON line per task to FILE as tasks finish")
    suite.add_argument("--resume", action="store_true",
                       help="skip the tasks that --out FILE already holds")
    suite.add_argument("--max-failing-tasks", metavar="N", type=_count, default=0,
                       help="failing tasks the suite tolerates (default 0)")
    suite.add_argument("--json", action="store_true",
                       help="print the suite report as JSON instead of the summary")
    suite.add_argument("--html", metavar="FILE", help="also write a self-contained HTML page")
    suite.add_argument("--junit", metavar="FILE", help="also write JUnit XML, a test case per task")
    suite.add_argument("--markdown", metavar="FILE",
                       help="also write a short Markdown summary for a pull-request comment")
    suite.set_defaults(run=cmd_suite, parser=suite)


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


@contextmanager
def _sigterm_interrupts() -> Iterator[None]:
    """SIGTERM raises KeyboardInterrupt meanwhile: a CI job that times out
    is stopped with SIGTERM, and the finished results are kept as for
    Ctrl-C. (Only the main thread may set a handler; elsewhere nothing
    changes.)"""
    try:
        previous = signal.signal(signal.SIGTERM, _interrupt)
    except ValueError:
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def cmd_suite(args: argparse.Namespace, console: Console) -> int:
    if args.resume and args.out is None:
        _usage(args, "--resume needs --out FILE")
    if args.engine == "process" and (args.ship or args.address):
        _usage(args, "--ship and --address need --engine ray or --engine dask")
    rule = _rule(args)
    table, table_name, auto = _pricing(args)
    plan = korvane.suite.discover(args.baseline, args.candidate)
    notes = not args.quiet

    def started(engine: korvane.suite.Engine) -> None:
        if notes:
            console.say(f"{engine.name} engine with {engine.slots} workers started in "
                        f"{engine.start_seconds:.1f} s")

    try:
        with _sigterm_interrupts():
            result = korvane.suite.run(
                plan, seed=args.seed, pricing=table, pricing_name=table_name or "pricing file",
                auto_pricing=auto, rule=rule, jobs=args.jobs, engine=args.engine,
                address=args.address, ship=args.ship, out=args.out, resume=args.resume,
                max_failing_tasks=args.max_failing_tasks, progress=notes, on_start=started)
    except korvane.suite.Interrupted as stop:
        kept = (f"; the finished results are in {stop.results} (rerun with --resume to go on)"
                if stop.results else "")
        console.say(f"interrupted after {stop.done} of {stop.total} tasks{kept}")
        return EXIT_INTERRUPTED
    files = [(args.html, render_suite_html), (args.junit, render_junit),
             (args.markdown, render_markdown)]
    try:
        for path, render in files:
            if path is not None:
                write_file(path, render(result))
        if args.json:
            for piece in json_report.suite_json(result, ascii_only=not console.utf8):
                console.write(piece)
        else:
            console.write(render_suite_text(result, color=console.colour))
    finally:
        result.close()
    if notes:
        console.flush()
        for path, _ in files:
            if path is not None:
                console.say(f"wrote {path}")
    return result.exit_status


# --- validate and id -------------------------------------------------------------

def add_validate(commands: Any, common: list[argparse.ArgumentParser]) -> None:
    validate = commands.add_parser(
        "validate", parents=common, help="check that traces parse and count their records",
        description="Parse each trace and print its record counts by kind, or the "
                    'reader\'s message for the first bad line. "-" reads standard input.')
    validate.add_argument("files", metavar="FILE", nargs="+")
    validate.set_defaults(run=cmd_validate, parser=validate)


def cmd_validate(args: argparse.Namespace, console: Console) -> int:
    stages = Stages(console, not args.quiet)
    status = EXIT_OK
    for path in args.files:
        try:
            records = read_trace(path, stages.reading(path))
        except InputError as error:
            console.say(str(error))
            status = EXIT_BAD_INPUT
            continue
        counts: Counter[str] = Counter(r["kind"] for r in records)
        console.write(f"{display_name(path)}: valid, {len(records)} "
                      f"record{'s' if len(records) != 1 else ''}\n")
        for kind in KINDS:
            console.write(f"  {kind:<15} {counts.get(kind, 0):>8}\n")
    return status


def add_id(commands: Any, common: list[argparse.ArgumentParser]) -> None:
    ident = commands.add_parser(
        "id", parents=common, help="print the content id of each record's payload",
        description="Print the content id (sha256 of the canonical JSON) of each "
                    'record\'s payload, one per line, in trace order. "-" reads standard input.')
    ident.add_argument("file", metavar="FILE")
    ident.set_defaults(run=cmd_id, parser=ident)


def cmd_id(args: argparse.Namespace, console: Console) -> int:
    records = read_trace(args.file, Stages(console, not args.quiet).reading(args.file))
    console.write("".join(korvane.content_id(r["payload"]) + "\n" for r in records))
    return EXIT_OK


# --- import ------------------------------------------------------------------------

def add_import(commands: Any, common: list[argparse.ArgumentParser]) -> None:
    imports = commands.add_parser(
        "import", parents=common, help="convert OTLP JSON traces or API logs to .agentlog",
        description="Convert OTLP JSON traces (GenAI or OpenInference spans; one trace per "
                    "trace id) or OpenAI / Anthropic API logs (JSON Lines of request and "
                    "response pairs; one trace per file) to .agentlog traces.")
    imports.add_argument("format", metavar="FORMAT", choices=("otel", "openai", "anthropic"),
                         help="otel, openai or anthropic")
    imports.add_argument("inputs", metavar="INPUT", nargs="+")
    imports.add_argument("-o", "--output", metavar="OUT", required=True,
                         help="the .agentlog file, or a directory (existing, or ending in /) "
                              "for one file per trace")
    imports.set_defaults(run=cmd_import, parser=imports)


def cmd_import(args: argparse.Namespace, console: Console) -> int:
    from korvane.importers import import_traces
    written = import_traces(args.format, args.inputs, args.output, console.err, args.quiet)
    if not args.quiet:
        console.say(f"wrote {len(written)} trace{'s' if len(written) != 1 else ''}"
                    + (f" to {args.output}" if len(written) != 1 else f": {written[0]}"))
    return EXIT_OK


# --- Argument parsing ----------------------------------------------------------

COMMANDS = [add_diff, add_suite, add_validate, add_id, add_import]


class Parser(argparse.ArgumentParser):
    """argparse with its error line escaped and cut like every other
    message (a bad value is echoed back, and may be huge or hold escape
    sequences)."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        Console(None, sys.stderr).say(f"{self.prog.removeprefix('korvane ')}: {message}")
        raise SystemExit(EXIT_BAD_INPUT)


def _seed(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"must be between 0 and 2**64 - 1: {text}")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _positive(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="korvane",
        description="Read, check and compare .agentlog traces of LLM agents.",
        epilog="Exit status: 0 success, 1 regression, 2 bad input or nothing to compare, "
               "130 interrupted.",
    )
    parser.add_argument("--version", action="version",
                        version=f"korvane {korvane.__version__} (trace format "
                                f"{korvane.SPEC_VERSION})")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    quiet = Parser(add_help=False)
    quiet.add_argument("-q", "--quiet", action="store_true",
                       help="print no progress or status notes on standard error")
    gate = Parser(add_help=False)
    gate.add_argument("--pricing", metavar="FILE|auto", action="append",
                      help='per-token prices: a JSON object mapping model names to [input, '
                           'output, ...] or {"input": ..., "output": ...}, or "auto" for the '
                           "genai-prices list (korvane[prices]); give both to override it")
    gate.add_argument("--seed", metavar="N", type=_seed,
                      help="seed of the bootstrap, for reproducible intervals")
    gate.add_argument("--fail-on", metavar="AXIS[,AXIS...]",
                      help=f"axes that can fail the verdict, of {', '.join(AXES)} (default: "
                           "all but verbosity and reasoning)")
    gate.add_argument("--fail-severity", choices=SEVERITIES[1:],
                      help="the least severity that fails (default severe)")
    for add in COMMANDS:
        add(commands, [quiet, gate] if add in (add_diff, add_suite) else [quiet])
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    out, err = sys.stdout, sys.stderr
    for stream in (out, err):
        # Trace texts may hold characters the terminal's encoding lacks.
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    console = Console(out, err)
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
        status: int = args.run(args, console)
        console.flush()
        return status
    except SystemExit as exit_:
        # A usage error found after parsing (Parser.error).
        return exit_.code if isinstance(exit_.code, int) else EXIT_BAD_INPUT
    except InputError as error:
        console.say(str(error))
        return EXIT_BAD_INPUT
    except ImportError as error:
        # An optional extra that is not installed names itself.
        console.say(str(error))
        return EXIT_BAD_INPUT
    except StdoutError as error:
        console.say(f"cannot write to standard output: {error}")
        _silence_stdout()
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        console.say("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (for example `| head`): stop
        # quietly, and keep the interpreter from complaining at exit.
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except BaseException as error:
        # A fault of korvane itself (the module's internal failure derives
        # from BaseException): one line, and never the regression status.
        if isinstance(error, (SystemExit, GeneratorExit)):
            raise
        console.say(f"internal error: {type(error).__name__}: {error}")
        return EXIT_BAD_INPUT


def _silence_stdout() -> None:
    """Points standard output at /dev/null so that the interpreter's final
    flush of what is still buffered cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
