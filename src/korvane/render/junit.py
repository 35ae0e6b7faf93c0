"""JUnit XML for a suite, as CI servers read it: one test case per task
(a failure when it regresses or has nothing to compare, with the reasons;
an error when it could not be diffed; a failure for a baseline task the
candidate has no trace for, a skip for a candidate-only task) and one per
gated axis, which fails when the axis's suite-level interval lies wholly
on the worse side. Text that XML 1.0 cannot hold (control characters from
traces) is written as escapes."""

from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from datetime import datetime, timezone
from typing import TYPE_CHECKING

from korvane.render.formats import axis_label, summary_numbers

if TYPE_CHECKING:
    from korvane.suite.aggregate import SuiteResult

SUITE_NAME = "korvane suite"
TASK_CLASS = "korvane.suite.tasks"
AXIS_CLASS = "korvane.suite.axes"

# Characters XML 1.0 does not allow, even as references.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def xml_text(text: str) -> str:
    return _NOT_XML.sub(lambda m: f"\\x{ord(m.group()):02x}" if ord(m.group()) < 0x100
                        else f"\\u{ord(m.group()):04x}", text)


def _case(parent: ET.Element, name: str, classname: str, seconds: float) -> ET.Element:
    return ET.SubElement(parent, "testcase", name=xml_text(name), classname=classname,
                         time=f"{seconds:.3f}")


def _outcome(case: ET.Element, tag: str, kind: str, reasons: list[str] | tuple[str, ...]) -> None:
    element = ET.SubElement(case, tag, type=kind, message=xml_text("; ".join(reasons)))
    element.text = xml_text("\n".join(reasons))


def render_junit(result: SuiteResult) -> str:
    """The whole XML document as text."""
    root = ET.Element("testsuites", name=SUITE_NAME)
    suite = ET.SubElement(root, "testsuite", name=SUITE_NAME,
                          timestamp=datetime.now(timezone.utc).isoformat(timespec="seconds"))
    properties = ET.SubElement(suite, "properties")
    for name, value in [("rule", result.settings.rule.describe()),
                        ("seed", str(result.settings.seed)),
                        ("max_failing_tasks", str(result.max_failing_tasks))]:
        ET.SubElement(properties, "property", name=name, value=value)
    failures = errors = skipped = 0
    total_seconds = 0.0
    for task in result.tasks:
        case = _case(suite, task.task, TASK_CLASS, task.seconds)
        total_seconds += task.seconds
        if task.status == "error":
            _outcome(case, "error", "error", result.task_reasons(task))
            errors += 1
        elif task.status != "pass":
            _outcome(case, "failure", task.status, result.task_reasons(task))
            failures += 1
    for unmatched in result.unmatched:
        case = _case(suite, unmatched.task, TASK_CLASS, 0.0)
        if unmatched.side == "baseline":
            _outcome(case, "failure", "missing candidate",
                     [f"the candidate has no trace for this task (baseline {unmatched.path})"])
            failures += 1
        else:
            _outcome(case, "skipped", "missing baseline",
                     [f"the baseline has no trace for this task (candidate {unmatched.path})"])
            skipped += 1
    for axis in result.axes:
        if not axis.gated:
            continue
        case = _case(suite, axis_label(axis.axis), AXIS_CLASS, 0.0)
        if axis.worse:
            median, interval = summary_numbers(axis)
            _outcome(case, "failure", "suite-level regression", [
                f"median per-task delta {median}, 95% interval {interval}, wholly on the worse side"])
            failures += 1
    tests = len(result.tasks) + len(result.unmatched) + sum(a.gated for a in result.axes)
    counts = {"tests": str(tests), "failures": str(failures), "errors": str(errors),
              "time": f"{total_seconds:.3f}"}
    root.attrib.update(counts)
    suite.attrib.update(counts, skipped=str(skipped))
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, "unicode") + "\n"
