"""Text from traces and from the command line made safe to print on a
terminal: control characters and escape sequences are written as escapes,
and values too long to read are cut in the middle with a visible mark."""

from __future__ import annotations

# Longest message line printed whole; longer ones keep their start and end.
MESSAGE_LIMIT = 400

# Control characters (line breaks, escape sequences) would break the layout
# or drive the terminal; they are shown escaped instead.
_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}
_CONTROLS.update({0x0A: "\\n", 0x0D: "\\r", 0x09: "\\t"})
# Line separators and bidirectional overrides can disguise what is printed.
_CONTROLS.update({c: f"\\u{c:04x}" for c in [0x2028, 0x2029, *range(0x202A, 0x202F),
                                            *range(0x2066, 0x206A)]})


def clean(text: str) -> str:
    """text with every control character written as an escape."""
    return text.translate(_CONTROLS)


def shorten(text: str, limit: int = MESSAGE_LIMIT) -> str:
    """text cut to at most about `limit` characters: its start and its end,
    with the count of characters left out in between."""
    if len(text) <= limit:
        return text
    head = limit * 3 // 4
    tail = limit - head
    return f"{text[:head]} …[{len(text) - head - tail} characters cut]… {text[-tail:]}"


def safe(text: str, limit: int = MESSAGE_LIMIT) -> str:
    """A value from a trace or the command line, ready to print: cut to
    the limit, then escaped."""
    return clean(shorten(text, limit))


def message_lines(text: str, limit: int = MESSAGE_LIMIT) -> list[str]:
    """A message as terminal lines: each line of it escaped and cut to the
    limit; a message of many lines keeps its first and last two."""
    # Cut first, then escape: a value of hundreds of megabytes is never
    # escaped whole.
    lines = [safe(line, limit) for line in text.split("\n")]
    if len(lines) > 4:
        lines = [*lines[:2], f"…[{len(lines) - 4} lines cut]…", *lines[-2:]]
    return lines
