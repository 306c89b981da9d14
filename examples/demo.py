"""A short tour of quillgramx on a real piece of text: a server log.

Run with the built module on the path:  PYTHONPATH=build python3 examples/demo.py
Each section shows one group of classes; new sections join SECTIONS at the end.
"""
import quillgramx as q

LOG = """\
2026-12-10 10:15:02 INFO  server started on port 8080
2026-12-10 10:15:07 WARN  disk usage at 91%

2026-12-10 10:16:40 ERROR connection reset by peer (client 10.0.0.7)
2026-12-10 10:16:41 INFO  retrying in 5 s \u2014 attempt 2 of 3
"""


def show(title, value):
    print(f"  {title:34} {value!r}")


def module_section():
    print("module")
    show("version", q.__version__)
    show("names exported", len(q.__all__))
    show("nums()", q.nums())
    show("hexnums()", q.hexnums())


def lines_section():
    print("lines, positions and constants")
    line = q.rest_of_line()
    show("first line", line.parse_string(LOG))
    show("every non-empty line", len(line.search_string(LOG)))
    for text in line.search_string(LOG)[:2]:
        show("  line", text)
    show("line ends in the log", q.LineEnd().search_string_count(LOG))
    show("line starts", q.LineStart().search_string_count(LOG))
    show("bytes (one empty match each)", q.Empty().search_string_count(LOG))
    show("lines blanked out", q.rest_of_line().transform_string(LOG, "...").splitlines())
    show("newlines made visible", q.LineEnd().transform_string("a\nb\n", "\u23ce"))
    show("matches an empty text", q.StringEnd().matches(""))
    try:
        q.StringEnd().parse_string(LOG)
    except ValueError as e:
        show("StringEnd on the log", str(e))

    # The batch operations work on a list of strings at once.
    lines = LOG.split("\n")
    show("first line of each item", q.rest_of_line().parse_batch(lines[:3]))
    show("blank items", q.StringEnd().parse_batch_count(lines))
    repeated = [lines[0]] * 100_000
    out = q.rest_of_line().parse_batch(repeated)
    show("one object repeated 100000 times", (len(out), out[0]))


def terminals_section():
    print("literals, words, patterns and quoted strings")
    number = q.Word(q.nums())
    show("numbers in the log", number.search_string(LOG)[:8])
    show("how many numbers", number.search_string_count(LOG))
    level = q.Keyword("INFO") | q.Keyword("WARN") | q.Keyword("ERROR")
    show("levels", level.search_string(LOG))
    show("lines that start with a level", level.parse_batch_count(["INFO up", "DEBUG x", "ERROR down"]))
    show("percentages hidden", q.Regex(r"\d+%").transform_string("disk usage at 91%", "<pct>"))
    show("ports", q.Regex(r"port \d+").search_string(LOG))
    show("quoted strings", q.QuotedString().parse_string('"hello, world" he said'))
    show("caseless", q.CaselessKeyword("error").parse_string("ERROR connection reset"))


def grammar_section():
    print("combinators")
    date = q.Regex(r"\d{4}-\d\d-\d\d")
    clock = q.Regex(r"\d\d:\d\d:\d\d")
    gap = q.Word(" ")
    level = q.Keyword("INFO") | q.Keyword("WARN") | q.Keyword("ERROR")
    entry = date + gap + clock + gap + level + gap + q.rest_of_line()
    show("one entry", entry.parse_string(LOG))
    show("entries found", len(entry.search_string(LOG)) // 7)
    show("entries among the lines", entry.parse_batch_count(LOG.split("\n")))
    number = q.Word(q.nums())
    show("decimals", q.Combine(number + q.Literal(".") + number).search_string("v 1.25 and 3.5"))
    show("text before 'port'", q.SkipTo(q.Literal("port")).parse_string("server started on port 8080"))
    nested = q.Forward()
    nested <<= (q.Suppress(q.Literal("(")) + nested + q.Suppress(q.Literal(")"))) | number
    show("nested parentheses", nested.parse_string("((42))"))
    show("words before the number", q.OneOrMore(q.Word(q.alphas()) + q.Optional(gap)).parse_string("retrying in 5 s"))


SECTIONS = [
    module_section,
    lines_section,
    terminals_section,
    grammar_section,
]


def main():
    for section in SECTIONS:
        section()
        print()


if __name__ == "__main__":
    main()
