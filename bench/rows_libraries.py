"""Benchmark rows for five everyday jobs, each done with this module, the
standard-library way (`re`, `str`, `csv`, `configparser`) and, where Debian's
python3-lark and python3-parsimonious are installed, with a grammar for each
of those libraries that does the same job: fields of a package log, an INI
file into a dict, arithmetic and a JSON-like language through `Forward`,
masking addresses in 11 MB of sources, and classifying 10^5 log lines.

Every row checks at load time that both sides give the same result; the rows
of a library that is not installed are left out. The README's Speed table is
made from this family: `make bench FAMILIES=libraries`."""

import collections
import configparser
import csv
import glob
import random
import re
import sysconfig
from pathlib import Path

import quillgramx as q

try:
    import lark
except ImportError:  # the lark rows are left out
    lark = None
try:
    import parsimonious
    from parsimonious.nodes import NodeVisitor
except ImportError:  # the parsimonious rows are left out
    parsimonious = None
    NodeVisitor = object


def _agree(label, ours, baseline):
    a, b = ours(), baseline()
    if a != b:
        raise AssertionError(f"{label}: results differ")
    return (label, ours, baseline)


def _leaves(node):
    """The texts of a parsimonious tree's non-empty leaves, in text order."""
    out, stack = [], [node]
    while stack:
        n = stack.pop()
        if n.children:
            stack.extend(reversed(n.children))
        elif n.end > n.start:
            out.append(n.text)
    return out


# ---------------------------------------------------------------------------
# 1. Fields of a package log: each line a list of its space-separated fields.

def _package_log():
    try:
        text = Path("/var/log/dpkg.log").read_text(encoding="utf-8")
        if text.endswith("\n") and "  " not in text and text.count("\n") >= 1000:
            return "dpkg.log", text
    except (OSError, UnicodeDecodeError):
        pass
    rnd = random.Random(21)
    pkgs = [f"lib{w}{i}:amd64" for i, w in enumerate("alpha beta gamma delta epsilon zeta".split())]
    lines = []
    for i in range(6000):
        day, pkg = f"2026-12-{i // 1000 + 10} 10:{i % 60:02}:{i % 37:02}", rnd.choice(pkgs)
        kind = rnd.random()
        if kind < 0.7:
            lines.append(f"{day} status {rnd.choice(('unpacked', 'installed', 'half-configured'))} {pkg} 1.{i % 9}-1")
        elif kind < 0.9:
            lines.append(f"{day} configure {pkg} 1.{i % 9}-1 <none>")
        else:
            lines.append(f"{day} startup archives unpack")
    return "generated package log", "\n".join(lines) + "\n"


def _log_field_rows(out):
    name, text = _package_log()
    field = q.Word(q.printables())
    record = q.Group(field + q.ZeroOrMore(q.Suppress(q.Literal(" ")) + field))
    ours = lambda: record.parse_batch(text.splitlines())
    out.append(_agree(f"log fields ({name}): Group.parse_batch vs str.split", ours,
                      lambda: [l.split(" ") for l in text.splitlines()]))
    out.append(_agree(f"log fields ({name}): Group.parse_batch vs csv.reader", ours,
                      lambda: list(csv.reader(text.splitlines(), delimiter=" "))))
    if lark:
        parser = lark.Lark(r"""
            start: line*
            line: FIELD (" " FIELD)* "\n"
            FIELD: /[^ \n]+/
        """, parser="lalr")
        out.append(_agree(f"log fields ({name}): Group.parse_batch vs lark", ours,
                          lambda: [[str(t) for t in line.children] for line in parser.parse(text).children]))
    if parsimonious:
        grammar = parsimonious.Grammar(r"""
            log = line*
            line = field more* "\n"
            more = " " field
            field = ~"[^ \n]+"
        """)

        class Fields(NodeVisitor):
            def visit_log(self, node, children):
                return children

            def visit_line(self, node, children):
                return [children[0]] + children[1]

            def visit_more(self, node, children):
                return children[1]

            def visit_field(self, node, children):
                return node.text

            def generic_visit(self, node, children):
                return children

        visitor = Fields()
        out.append(_agree(f"log fields ({name}): Group.parse_batch vs parsimonious", ours,
                          lambda: visitor.visit(grammar.parse(text))))


# ---------------------------------------------------------------------------
# 2. An INI file into a dict of sections, each a dict of its entries.

def _ini_text(sections=200, keys=15, seed=23):
    rnd = random.Random(seed)
    words = "alpha beta gamma delta epsilon zeta eta theta iota kappa".split()
    lines = ["; generated settings", ""]
    for s in range(sections):
        lines.append(f"[{rnd.choice(words)}.{s}]")
        for k in range(keys):
            if rnd.random() < 0.1:
                lines.append("# " + " ".join(rnd.choice(words) for _ in range(4)))
            value = rnd.choice((str(rnd.randint(0, 99999)), f"/srv/{rnd.choice(words)}/{k}",
                                " ".join(rnd.choice(words) for _ in range(3))))
            lines.append(f"{rnd.choice(words)}_{k} = {value}")
        lines.append("")
    return "\n".join(lines) + "\n"


def _ini_rows(out):
    text = _ini_text()
    name = q.Word(q.alphanums() + "_.-")
    section = q.Group(q.Suppress(q.Literal("[")) + name + q.Suppress(q.Literal("]")))
    entry = q.Group(name + q.Suppress(q.Regex(r"[ \t]*=[ \t]*")) + q.rest_of_line())

    def ours():
        lines = text.split("\n")
        result, current = {}, None
        for head, pair in zip(section.parse_batch(lines), entry.parse_batch(lines)):
            if head:
                current = result.setdefault(head[0], {})
            elif pair:
                current[pair[0]] = pair[1]
        return result

    def with_configparser():
        parser = configparser.RawConfigParser()
        parser.optionxform = str
        parser.read_string(text)
        return {s: dict(parser.items(s)) for s in parser.sections()}

    def with_str():
        result, current = {}, None
        for line in text.split("\n"):
            if line.startswith("["):
                current = result.setdefault(line[1:line.index("]")], {})
            elif line and line[0] not in ";#":
                key, _, value = line.partition("=")
                current[key.strip()] = value.strip()
        return result

    out.append(_agree("INI into a dict: two Group.parse_batch vs configparser", ours, with_configparser))
    out.append(_agree("INI into a dict: two Group.parse_batch vs str methods", ours, with_str))
    if lark:
        parser = lark.Lark(r"""
            start: _NL? (section | entry)*
            section: "[" NAME "]" _NL
            entry: NAME _EQ VALUE _NL
            NAME: /[A-Za-z0-9_.\-]+/
            _EQ: /[ \t]*=[ \t]*/
            VALUE: /[^\n]+/
            _NL: /(\n([;#][^\n]*)?)+/
            COMMENT: /[;#][^\n]*/
            %ignore COMMENT
        """, parser="lalr")

        def with_lark():
            result, current = {}, None
            for item in parser.parse(text).children:
                if item.data == "section":
                    current = result.setdefault(str(item.children[0]), {})
                else:
                    current[str(item.children[0])] = str(item.children[1])
            return result

        out.append(_agree("INI into a dict: two Group.parse_batch vs lark", ours, with_lark))
    if parsimonious:
        grammar = parsimonious.Grammar(r"""
            ini = line*
            line = section / entry / comment / blank
            section = "[" name "]" nl
            entry = name eq value nl
            comment = ~"[;#][^\n]*" nl
            blank = nl
            name = ~"[A-Za-z0-9_.-]+"
            eq = ~"[ \t]*=[ \t]*"
            value = ~"[^\n]*"
            nl = "\n"
        """)

        class Ini(NodeVisitor):
            def visit_ini(self, node, children):
                result, current = {}, None
                for kind, a, b in (c for c in children if isinstance(c, tuple)):
                    if kind == "section":
                        current = result.setdefault(a, {})
                    else:
                        current[a] = b
                return result

            def visit_line(self, node, children):
                return children[0]

            def visit_section(self, node, children):
                return ("section", children[1], None)

            def visit_entry(self, node, children):
                return ("entry", children[0], children[2])

            def visit_name(self, node, children):
                return node.text

            visit_value = visit_name

            def visit_comment(self, node, children):
                return None

            visit_blank = visit_comment

            def generic_visit(self, node, children):
                return children or node

        visitor = Ini()
        out.append(_agree("INI into a dict: two Group.parse_batch vs parsimonious", ours,
                          lambda: visitor.visit(grammar.parse(text))))


# ---------------------------------------------------------------------------
# 3a. Arithmetic through Forward: the tokens of each expression, validated.

def _expressions(n=3000, seed=17):
    rnd = random.Random(seed)

    def gen(depth):
        if depth == 0 or rnd.random() < 0.35:
            return str(rnd.randint(1, 999))
        if rnd.random() < 0.25:
            return "(" + gen(depth - 1) + ")"
        return gen(depth - 1) + rnd.choice("+-*/") + gen(depth - 1)

    return [gen(4) for _ in range(n)]


_ARITH_TOKEN = re.compile(r"[0-9]+|[-+*/()]")


def _arith_expr(toks, i):
    """The standard-library recognizer: end of an expression at toks[i], or -1."""
    i = _arith_term(toks, i)
    while 0 <= i < len(toks) and toks[i] in ("+", "-"):
        i = _arith_term(toks, i + 1)
    return i


def _arith_term(toks, i):
    i = _arith_factor(toks, i)
    while 0 <= i < len(toks) and toks[i] in ("*", "/"):
        i = _arith_factor(toks, i + 1)
    return i


def _arith_factor(toks, i):
    if 0 <= i < len(toks):
        if toks[i].isdigit():
            return i + 1
        if toks[i] == "(":
            j = _arith_expr(toks, i + 1)
            if 0 <= j < len(toks) and toks[j] == ")":
                return j + 1
    return -1


def _arith_re(text):
    toks = _ARITH_TOKEN.findall(text)
    return toks if _arith_expr(toks, 0) == len(toks) else []


def _arithmetic_rows(out):
    exprs = _expressions()
    number = q.Word(q.nums())
    expr = q.Forward()
    factor = number | (q.Literal("(") + expr + q.Literal(")"))
    term = factor + q.ZeroOrMore(q.one_of("* /") + factor)
    expr <<= term + q.ZeroOrMore(q.one_of("+ -") + term)
    whole = q.Group(expr + q.StringEnd())
    ours = lambda: whole.parse_batch(exprs)
    out.append(_agree(f"arithmetic x{len(exprs)}: Group(Forward).parse_batch vs re+Python", ours,
                      lambda: [_arith_re(e) for e in exprs]))
    if lark:
        parser = lark.Lark(r"""
            ?expr: term (ADDOP term)*
            ?term: factor (MULOP factor)*
            ?factor: NUMBER | "(" expr ")"
            ADDOP: "+" | "-"
            MULOP: "*" | "/"
            NUMBER: /[0-9]+/
        """, start="expr", parser="lalr", keep_all_tokens=True)

        def with_lark():
            result = []
            for e in exprs:
                tree = parser.parse(e)
                if isinstance(tree, lark.Token):
                    result.append([str(tree)])
                else:
                    result.append([str(t) for t in tree.scan_values(lambda v: True)])
            return result

        out.append(_agree(f"arithmetic x{len(exprs)}: Group(Forward).parse_batch vs lark", ours, with_lark))
    if parsimonious:
        grammar = parsimonious.Grammar(r"""
            expr = term (addop term)*
            term = factor (mulop factor)*
            factor = number / ("(" expr ")")
            addop = ~"[+-]"
            mulop = ~"[*/]"
            number = ~"[0-9]+"
        """)
        out.append(_agree(f"arithmetic x{len(exprs)}: Group(Forward).parse_batch vs parsimonious", ours,
                          lambda: [_leaves(grammar.parse(e)) for e in exprs]))


# ---------------------------------------------------------------------------
# 3b. A JSON-like language through Forward: the scalars of each document in
# order (strings without their quotes), the document validated as a whole.

def _documents(n=1000, seed=29):
    rnd = random.Random(seed)
    words = "alpha beta gamma delta epsilon zeta eta theta".split()

    def gen(depth):
        r = rnd.random()
        if depth == 0 or r < 0.3:
            return rnd.choice((str(rnd.randint(-999, 99999)), '"' + rnd.choice(words) + '"',
                               "true", "false", "null"))
        items = [gen(depth - 1) for _ in range(rnd.randint(0, 4))]
        if r < 0.65:
            return "[" + ", ".join(items) + "]"
        return "{" + ", ".join(f'"{rnd.choice(words)}{i}": {v}' for i, v in enumerate(items)) + "}"

    return [gen(4) for _ in range(n)]


_JSON_TOKEN = re.compile(r'"([^"\\\n]*)"|(-?[0-9]+|true|false|null)|([\[\]{},:])|[ \n]+')


def _json_value(toks, i):
    """The standard-library recognizer over (kind, text) tokens: end of a value, or -1."""
    if i >= len(toks):
        return -1
    kind, text = toks[i]
    if kind != "p":
        return i + 1
    if text not in "[{":
        return -1
    close, i = ("]" if text == "[" else "}"), i + 1
    if i < len(toks) and toks[i] == ("p", close):
        return i + 1
    while True:
        if close == "}":
            if i + 1 >= len(toks) or toks[i][0] != "s" or toks[i + 1] != ("p", ":"):
                return -1
            i += 2
        i = _json_value(toks, i)
        if i < 0 or i >= len(toks):
            return -1
        if toks[i] == ("p", close):
            return i + 1
        if toks[i] != ("p", ","):
            return -1
        i += 1


def _json_re(text):
    toks, pos = [], 0
    for m in _JSON_TOKEN.finditer(text):
        if m.start() != pos:
            return []
        pos = m.end()
        if m.group(1) is not None:
            toks.append(("s", m.group(1)))
        elif m.group(2) is not None:
            toks.append(("v", m.group(2)))
        elif m.group(3) is not None:
            toks.append(("p", m.group(3)))
    if pos != len(text) or _json_value(toks, 0) != len(toks):
        return []
    return [t for kind, t in toks if kind != "p"]


def _json_rows(out):
    docs = _documents()
    value = q.Forward()
    ws = q.Optional(q.Suppress(q.Regex(r"[ \n]+")))
    comma = q.Suppress(q.Literal(",")) + ws
    string = q.QuotedString()
    scalar = string | q.Regex(r"-?[0-9]+") | q.Keyword("true") | q.Keyword("false") | q.Keyword("null")
    member = string + ws + q.Suppress(q.Literal(":")) + ws + value
    array = q.Suppress(q.Literal("[")) + ws + q.Optional(value + ws + q.ZeroOrMore(comma + value + ws)) \
        + q.Suppress(q.Literal("]"))
    obj = q.Suppress(q.Literal("{")) + ws + q.Optional(member + ws + q.ZeroOrMore(comma + member + ws)) \
        + q.Suppress(q.Literal("}"))
    value <<= scalar | array | obj
    whole = q.Group(value + q.StringEnd())
    ours = lambda: whole.parse_batch(docs)
    out.append(_agree(f"JSON-like x{len(docs)}: Group(Forward).parse_batch vs re+Python", ours,
                      lambda: [_json_re(d) for d in docs]))
    if lark:
        parser = lark.Lark(r"""
            ?value: object | array | STRING | NUMBER | "true" -> true | "false" -> false | "null" -> null
            array: "[" [value ("," value)*] "]"
            object: "{" [pair ("," pair)*] "}"
            pair: STRING ":" value
            STRING: /"[^"\\\n]*"/
            NUMBER: /-?[0-9]+/
            %ignore " "
        """, start="value", parser="lalr")

        def scalars(tree):
            if isinstance(tree, lark.Token):
                return [tree[1:-1] if tree.type == "STRING" else str(tree)]
            if tree.data in ("true", "false", "null"):
                return [tree.data]
            result = []
            for child in tree.children:
                if child is not None:
                    result.extend(scalars(child))
            return result

        out.append(_agree(f"JSON-like x{len(docs)}: Group(Forward).parse_batch vs lark", ours,
                          lambda: [scalars(parser.parse(d)) for d in docs]))
    if parsimonious:
        grammar = parsimonious.Grammar(r"""
            value = object / array / string / literal
            object = "{" ws (pair (comma pair)*)? "}"
            array = "[" ws (value ws (comma value ws)*)? "]"
            pair = string ws ":" ws value ws
            comma = "," ws
            string = "\"" chars "\""
            chars = ~"[^\"\\\\\n]*"
            literal = ~"-?[0-9]+|true|false|null"
            ws = ~"[ \n]*"
        """)

        class Scalars(NodeVisitor):
            def visit_string(self, node, children):
                return [node.text[1:-1]]

            def visit_literal(self, node, children):
                return [node.text]

            def generic_visit(self, node, children):
                return [t for c in children for t in c]

        visitor = Scalars()
        out.append(_agree(f"JSON-like x{len(docs)}: Group(Forward).parse_batch vs parsimonious", ours,
                          lambda: [visitor.visit(grammar.parse(d)) for d in docs]))


# ---------------------------------------------------------------------------
# 4. Masking addresses (IPv4 and e-mail) in 11 MB of sources. lark and
# parsimonious parse a whole language and have no scan-and-replace, so this
# job has no rows for them.

def _sources(size=11_000_000):
    stdlib = sysconfig.get_paths().get("stdlib") or "/usr/lib/python3"
    pieces, total = [], 0
    for path in sorted(glob.glob(str(Path(stdlib) / "**" / "*.py"), recursive=True)):
        try:
            text = Path(path).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        pieces.append(text)
        total += len(text)
        if total >= size:
            return "".join(pieces)
    return None


def _mask_rows(out):
    text = _sources()
    if text is None:
        return
    ipv4 = r"[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+"
    email = r"[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)+"
    both = q.Regex(ipv4 + "|" + email)
    both_re = re.compile(ipv4 + "|" + email)
    out.append(_agree("mask addresses, 11 MB: Regex.transform_string vs re.sub",
                      lambda: both.transform_string(text, "<addr>"), lambda: both_re.sub("<addr>", text)))
    number, dot = q.Word(q.nums()), q.Literal(".")
    dotted = q.Combine(number + dot + number + dot + number + dot + number)
    ipv4_re = re.compile(ipv4)
    out.append(_agree("mask IPv4, 11 MB: Combine(...).transform_string vs re.sub",
                      lambda: dotted.transform_string(text, "<ip>"), lambda: ipv4_re.sub("<ip>", text)))


# ---------------------------------------------------------------------------
# 5. Classifying 10^5 log lines by level; continuation lines are no class.

def _log_lines(n=100_000, seed=31):
    rnd = random.Random(seed)
    levels = ("INFO", "INFO", "INFO", "WARN", "ERROR", "DEBUG")
    words = "disk server client retry timeout connection started stopped port user".split()
    lines = []
    for i in range(n):
        if rnd.random() < 0.15:
            lines.append(f"    at {rnd.choice(words)}.py:{rnd.randint(1, 999)}")
        else:
            lines.append(f"2026-12-10 {i // 3600 % 24:02}:{i // 60 % 60:02}:{i % 60:02} {rnd.choice(levels)} "
                         + " ".join(rnd.choice(words) for _ in range(rnd.randint(2, 8))))
    return lines


def _classify_rows(out):
    lines = _log_lines()
    text = "\n".join(lines) + "\n"
    stamp = q.Regex(r"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ")
    level = q.Keyword("INFO") | q.Keyword("WARN") | q.Keyword("ERROR") | q.Keyword("DEBUG")
    classify = q.Group(q.Suppress(stamp) + level)
    ours = lambda: classify.parse_batch(lines)
    line_re = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} (INFO|WARN|ERROR|DEBUG)\b")

    def with_re():
        result = []
        for line in lines:
            m = line_re.match(line)
            result.append([m.group(1)] if m else [])
        return result

    def with_str():
        result = []
        for line in lines:
            word = line[20:].split(" ", 1)[0] if line[:1].isdigit() else ""
            result.append([word] if word in ("INFO", "WARN", "ERROR", "DEBUG") else [])
        return result

    out.append(_agree("classify 10^5 lines: Group.parse_batch vs re.match", ours, with_re))
    out.append(_agree("classify 10^5 lines: Group.parse_batch vs str methods", ours, with_str))
    counts = {name: q.Suppress(stamp) + q.Keyword(name) for name in ("INFO", "WARN", "ERROR", "DEBUG")}
    def count_with_re():
        found = collections.Counter(m.group(1) for m in map(line_re.match, lines) if m)
        return {name: found[name] for name in counts}

    out.append(_agree("count 10^5 lines by level: 4 parse_batch_count vs re.match",
                      lambda: {name: e.parse_batch_count(lines) for name, e in counts.items()}, count_with_re))
    if lark:
        parser = lark.Lark(r"""
            start: (line _NL)*
            line: STAMP LEVEL REST? -> classified
                | OTHER -> other
            STAMP: /[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} /
            LEVEL: "INFO" | "WARN" | "ERROR" | "DEBUG"
            REST: / [^\n]*/
            OTHER: /[ \t][^\n]*/
            _NL: "\n"
        """, parser="lalr")

        def with_lark():
            return [[str(l.children[1])] if l.data == "classified" else [] for l in parser.parse(text).children]

        out.append(_agree("classify 10^5 lines: Group.parse_batch vs lark", ours, with_lark))
    if parsimonious:
        grammar = parsimonious.Grammar(r"""
            log = line*
            line = (classified / other) "\n"
            classified = stamp level rest
            stamp = ~"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
            level = ("INFO" / "WARN" / "ERROR" / "DEBUG") !~"[A-Za-z0-9_]"
            rest = ~"[^\n]*"
            other = ~"[^\n]*"
        """)

        class Levels(NodeVisitor):
            def visit_log(self, node, children):
                return children

            def visit_line(self, node, children):
                return children[0][0]

            def visit_classified(self, node, children):
                return children[1]

            def visit_level(self, node, children):
                return [node.text]

            def visit_other(self, node, children):
                return []

            def generic_visit(self, node, children):
                return children or node

        visitor = Levels()
        out.append(_agree("classify 10^5 lines: Group.parse_batch vs parsimonious", ours,
                          lambda: visitor.visit(grammar.parse(text))))


def rows():
    out = []
    _log_field_rows(out)
    _ini_rows(out)
    _arithmetic_rows(out)
    _json_rows(out)
    _mask_rows(out)
    _classify_rows(out)
    return out
