"""Finding the task pairs of a suite.

A side is a directory of .agentlog traces, searched recursively, or a
manifest: JSON Lines of {"task", "baseline", "candidate"} objects whose
paths are relative to the manifest's directory. A trace's task id is the
"task_id" of its first metadata record's payload when there is one, else
its path relative to the side's directory. Tasks present on one side only
are kept as unmatched, never dropped; two traces of one side with the same
task id are an error, since they could not be paired."""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass
from typing import Iterator, Literal

from korvane.errors import InputError
from korvane.inputs import parse_json_text, read_table

Side = Literal["baseline", "candidate"]
SUFFIX = ".agentlog"


@dataclass(frozen=True, slots=True)
class Task:
    """One pair to diff."""

    task: str
    baseline: str
    candidate: str


@dataclass(frozen=True, slots=True)
class Unmatched:
    """A trace whose task the other side lacks; `side` is the side it is on."""

    task: str
    side: Side
    path: str


@dataclass(frozen=True)
class Plan:
    """The pairs, in task order, and the unmatched traces."""

    tasks: tuple[Task, ...]
    unmatched: tuple[Unmatched, ...]


def task_key(task: str) -> tuple[tuple[int, int | str], ...]:
    """Sort key that puts "t2" before "t10"."""
    return tuple((0, int(part)) if part.isdigit() else (1, part)
                 for part in re.split(r"(\d+)", task) if part)


def trace_task_id(path: str) -> str | None:
    """The task id of the trace's first metadata record, or None. Lines are
    looked at only when they can hold a metadata record; a line that does
    not parse ends the search (the diff will report it)."""
    try:
        with open(path, "rb") as handle:
            for line in handle:
                if b'"metadata"' not in line:
                    continue
                try:
                    record = json.loads(line)
                except (ValueError, RecursionError):
                    return None
                if not isinstance(record, dict) or record.get("kind") != "metadata":
                    continue
                payload = record.get("payload")
                task = payload.get("task_id") if isinstance(payload, dict) else None
                if isinstance(task, bool) or not isinstance(task, (str, int)):
                    return None
                return str(task)
    except OSError:
        return None  # the diff reports the unreadable file
    return None


def _walk(root: str) -> Iterator[str]:
    def fail(error: OSError) -> None:
        raise InputError(f"cannot read {error.filename}: {error.strerror or error}")

    for directory, subdirectories, files in os.walk(root, onerror=fail):
        subdirectories.sort()
        for name in sorted(files):
            if name.endswith(SUFFIX):
                yield os.path.join(directory, name)


def _directory_side(root: str, side: Side) -> dict[str, str]:
    found: dict[str, str] = {}
    for path in _walk(root):
        task = trace_task_id(path) or os.path.relpath(path, root).replace(os.sep, "/")
        if task in found:
            raise InputError(f"{root}: task id {json.dumps(task, ensure_ascii=False)} is "
                             f"named by two {side} traces, {found[task]} and {path}")
        found[task] = path
    return found


def read_manifest(path: str) -> list[tuple[int, str, dict[str, str]]]:
    """(line number, task, {side: path}) for each entry of a manifest."""
    data = read_table(path, "manifest")
    base = os.path.dirname(path)
    entries, seen = [], set()
    for number, line in enumerate(data.split(b"\n"), 1):
        if not line.strip():
            continue
        where = f"{path}:{number}"
        entry = parse_json_text(line, where, "manifest line")
        if not isinstance(entry, dict):
            raise InputError(f"{where}: a manifest line must be a JSON object with \"task\", "
                             f"\"baseline\" and \"candidate\"")
        task = entry.get("task")
        if isinstance(task, bool) or not isinstance(task, (str, int)) or task == "":
            raise InputError(f"{where}: \"task\" must be a non-empty string")
        task = str(task)
        if task in seen:
            raise InputError(f"{where}: task {json.dumps(task, ensure_ascii=False)} "
                             f"appears twice")
        seen.add(task)
        paths = {}
        for side in ("baseline", "candidate"):
            value = entry.get(side)
            if value is None:
                continue
            if not isinstance(value, str) or not value:
                raise InputError(f"{where}: \"{side}\" must be a path")
            paths[side] = os.path.join(base, value)
        entries.append((number, task, paths))
    return entries


def _refuse_trace(path: str) -> None:
    if path.endswith(SUFFIX):
        raise InputError(f"{path}: a side is a directory of {SUFFIX} traces or a manifest, "
                         f"not one trace (korvane diff compares two traces)")


def _side(path: str, side: Side) -> dict[str, str]:
    if os.path.isdir(path):
        return _directory_side(path, side)
    _refuse_trace(path)
    return {task: paths[side] for _, task, paths in read_manifest(path) if side in paths}


def discover(baseline: str, candidate: str | None = None) -> Plan:
    """The plan of a suite: two sides (directories or manifests), or one
    manifest that names both traces of each task."""
    if candidate is None:
        if os.path.isdir(baseline):
            raise InputError(f"{baseline}: a directory of baseline traces needs a "
                             f"candidate directory")
        _refuse_trace(baseline)
        entries = read_manifest(baseline)
        sides = [{t: p["baseline"] for _, t, p in entries if "baseline" in p},
                 {t: p["candidate"] for _, t, p in entries if "candidate" in p}]
    else:
        if not os.path.exists(baseline) or not os.path.exists(candidate):
            missing = baseline if not os.path.exists(baseline) else candidate
            raise InputError(f"cannot read {missing}: No such file or directory")
        sides = [_side(baseline, "baseline"), _side(candidate, "candidate")]
    base, cand = sides
    tasks = sorted(set(base) & set(cand), key=task_key)
    unmatched = [Unmatched(t, "baseline", base[t]) for t in set(base) - set(cand)]
    unmatched += [Unmatched(t, "candidate", cand[t]) for t in set(cand) - set(base)]
    unmatched.sort(key=lambda u: (task_key(u.task), u.side))
    return Plan(tuple(Task(t, base[t], cand[t]) for t in tasks), tuple(unmatched))
