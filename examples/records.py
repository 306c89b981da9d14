"""A structured job: a package log and an INI file into records.

Run with the built module on the path:  PYTHONPATH=build python3 examples/records.py

Tokens are flat strings, so a record is one `Group` applied to every line at
once with `parse_batch`: the `Group` makes its sequence give its members'
tokens (a bare `a + b + c` would list the text of each member, the
`Suppress`ed punctuation included), and a batch of a `Group` gives one token
list per line, [] where the line is no such record. The structure (a list of
dicts, a dict of sections) is then built in Python from those lists.
"""
import re

import quillgramx as q

PACKAGE_LOG = """\
2025-06-24 14:36:25 startup archives unpack
2025-06-24 14:36:25 upgrade libsystemd0:amd64 252.36-1~deb12u1 252.38-1~deb12u1
2025-06-24 14:36:25 status half-configured libsystemd0:amd64 252.36-1~deb12u1
2025-06-24 14:36:26 status unpacked libsystemd0:amd64 252.38-1~deb12u1
2025-06-24 14:36:26 install tzdata:all <none> 2025b-0+deb12u1
2025-06-24 14:36:27 configure libsystemd0:amd64 252.38-1~deb12u1 <none>
2025-06-24 14:36:27 status installed libsystemd0:amd64 252.38-1~deb12u1
2025-06-24 14:36:28 trigproc libc-bin:amd64 2.36-9+deb12u10 <none>
"""

SETTINGS = """\
; the example service
[server]
host = example.org
port = 8080

[paths]
root = /srv/www
log=/var/log/example.log
größe: 10
"""

# The pieces of a log line. Each Suppress drops a separator from the tokens.
gap = q.Suppress(q.Literal(" "))
field = q.Word(q.printables())
stamp = q.Regex(r"\d{4}-\d\d-\d\d") + gap + q.Regex(r"\d\d:\d\d:\d\d") + gap

# "status STATE PACKAGE VERSION" and "ACTION PACKAGE VERSION VERSION"; the
# startup lines are neither, and so no record.
STATUS = q.Group(stamp + q.Suppress(q.Keyword("status")) + gap + field + gap + field + gap + field)
ACTION = q.Group(stamp + (q.Keyword("install") | q.Keyword("upgrade") | q.Keyword("configure")
                          | q.Keyword("remove") | q.Keyword("trigproc"))
                 + gap + field + gap + field + gap + field)


def log_records(text):
    """One dict per status or action line, in order."""
    lines = text.splitlines()
    records = []
    for status, action in zip(STATUS.parse_batch(lines), ACTION.parse_batch(lines)):
        if status:
            date, time, state, package, version = status
            records.append({"at": f"{date} {time}", "package": package, "state": state, "version": version})
        elif action:
            date, time, verb, package, old, new = action
            records.append({"at": f"{date} {time}", "package": package, "action": verb,
                            "from": None if old == "<none>" else old, "to": None if new == "<none>" else new})
    return records


# The lines of an INI file: "[name]", "key = value" and comments. A key may be
# any word, non-ASCII letters included, so it is a Regex rather than a Word.
name = q.Regex(r"[\w.-]+")
SECTION = q.Group(q.Suppress(q.Literal("[")) + name + q.Suppress(q.Literal("]")) + q.StringEnd())
ENTRY = q.Group(name + q.Suppress(q.Regex(r"[ \t]*=[ \t]*")) + q.rest_of_line())
COMMENT = q.Regex(r"[;#]")


def line_col(text, pos):
    """Line and column (from 1, in characters) of a byte offset into text."""
    before = text.encode("utf-8")[:pos].decode("utf-8", "replace")
    return before.count("\n") + 1, len(before) - before.rfind("\n")


def ini_to_dict(text):
    """The sections of an INI text as a dict of dicts, and a message for each
    line that is no section, entry, comment or blank."""
    lines = text.split("\n")
    result, errors, current = {}, [], None
    heads, pairs = SECTION.parse_batch(lines), ENTRY.parse_batch(lines)
    is_comment = [COMMENT.matches(line) for line in lines]
    for number, (line, head, pair, comment) in enumerate(zip(lines, heads, pairs, is_comment), 1):
        if head:
            current = result.setdefault(head[0], {})
        elif pair and current is not None:
            current[pair[0]] = pair[1]
        elif line.strip() and not comment:
            # The Group form of the failure carries a byte offset into the line.
            try:
                ENTRY.parse_string(line)
                message = "an entry before any section"
                column = 1
            except ValueError as error:
                offset = int(re.match(r"ParseException at position (\d+): (.*)", str(error)).group(1))
                message = str(error).split(": ", 1)[1]
                column = line_col(line, offset)[1]
            errors.append(f"line {number}, column {column}: {message}: {line!r}")
    return result, errors


def main():
    print("package log into records")
    for record in log_records(PACKAGE_LOG):
        print(" ", record)
    print()
    print("INI file into a dict")
    settings, errors = ini_to_dict(SETTINGS)
    for section, entries in settings.items():
        print(f"  [{section}]", entries)
    for error in errors:
        print("  error:", error)
    print()
    print("the same lines without Group: a sequence lists its members' texts")
    bare = q.Suppress(q.Literal("[")) + name + q.Suppress(q.Literal("]"))
    print("  Group:", SECTION.parse_string("[server]"))
    print("  bare: ", bare.parse_string("[server]"))


if __name__ == "__main__":
    main()
