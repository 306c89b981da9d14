"""Benchmark rows on real text: workloads a user would otherwise write with
`re`, `str` or `csv`, on files this machine has (a package log, /etc/services,
/etc/passwd, licence texts, the standard library's sources) and on texts made
here (CSV, mixed text, arithmetic). A row whose file is absent is left out.
Each row checks at load time that both sides give the same result."""

import csv
import glob
import random
import re
import sysconfig
from pathlib import Path

import quillgramx as q


def _read(path):
    try:
        return Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return None


def _read_all(paths):
    texts = [t for t in (_read(p) for p in sorted(paths)) if t is not None]
    return "".join(texts) if texts else None


def _python_sources():
    stdlib = sysconfig.get_paths().get("stdlib") or "/usr/lib/python3"
    return _read_all(glob.glob(str(Path(stdlib) / "*.py")))


def _log():
    for path in ("/var/log/dpkg.log", "/var/log/apt/history.log", "/var/log/alternatives.log"):
        text = _read(path)
        if text:
            return path, text
    return None, None


def _csv_text(rows=100_000, seed=11):
    rnd = random.Random(seed)
    words = "alpha beta gamma delta epsilon zeta eta theta iota kappa".split()
    lines = []
    for i in range(rows):
        lines.append(",".join((str(i), rnd.choice(words), f"{rnd.random() * 1000:.3f}",
                               rnd.choice(words) + str(rnd.randint(0, 99)), str(rnd.randint(0, 1 << 20)))))
    return "\n".join(lines) + "\n"


def _mixed_text(size, seed=13):
    """Sources, log and licence text interleaved up to `size` characters, or
    generated words and numbers where none of them is present."""
    pieces = [t for t in (_python_sources(), _log()[1], _read_all(glob.glob("/usr/share/common-licenses/*"))) if t]
    if not pieces:
        rnd = random.Random(seed)
        words = "lorem ipsum dolor sit amet 2026 v3.11 port 8080 é ü".split()
        pieces = [" ".join(rnd.choice(words) for _ in range(200_000))]
    joined = "\n".join(pieces)
    return (joined * (size // len(joined) + 1))[:size]


def _expressions(n=3000, seed=17):
    rnd = random.Random(seed)

    def gen(depth):
        if depth == 0 or rnd.random() < 0.35:
            return str(rnd.randint(1, 999))
        if rnd.random() < 0.25:
            return "(" + gen(depth - 1) + ")"
        return gen(depth - 1) + rnd.choice("+-*/") + gen(depth - 1)

    return [gen(4) for _ in range(n)]


def _arithmetic():
    number = q.Word(q.nums())
    expr = q.Forward()
    factor = number | (q.Literal("(") + expr + q.Literal(")"))
    term = factor + q.ZeroOrMore(q.one_of("* /") + factor)
    expr <<= term + q.ZeroOrMore(q.one_of("+ -") + term)
    return expr


def _agree(label, ours, baseline):
    a, b = ours(), baseline()
    if a != b:
        raise AssertionError(f"{label}: results differ ({len(a) if hasattr(a, '__len__') else a!r} "
                             f"against {len(b) if hasattr(b, '__len__') else b!r})")
    return (label, ours, baseline)


def _comment_rows(out):
    comment = q.Regex(r"#[^\n]*")
    comment_re = re.compile(r"#[^\n]*")
    for name, text in (("/etc/services", _read("/etc/services")), ("stdlib sources", _python_sources())):
        if text:
            out.append(_agree(f"comments Regex.search_string {name}",
                              lambda t=text: comment.search_string(t), lambda t=text: comment_re.findall(t)))


def _csv_field_rows(out, csv_text):
    field = q.Regex(r"[^,\n]+")
    field_re = re.compile(r"[^,\n]+")
    out.append(_agree("CSV fields Regex.search_string 100k rows",
                      lambda: field.search_string(csv_text), lambda: field_re.findall(csv_text)))


def _digit_rows(out):
    text = _mixed_text(8 << 20)
    digits = q.Regex(r"\d+")
    digits_re = re.compile(r"\d+")
    out.append(_agree("Regex(\\d+).search_string 8MB mixed text",
                      lambda: digits.search_string(text), lambda: digits_re.findall(text)))


# Seven token kinds of Python source; every one starts with an ASCII byte, so
# the byte scan and the character scan of `re` see the same matches.
_LEXER_PARTS = (
    r"[A-Za-z_][A-Za-z0-9_]*",
    r"[0-9]+",
    r'"[^"\n]*"',
    r"'[^'\n]*'",
    r"#[^\n]*",
)


def _lexer_rows(out):
    text = _python_sources()
    if not text:
        return
    lexer = q.MatchFirst([q.Regex(p) for p in _LEXER_PARTS] + [q.Literal("("), q.Literal(")")])
    lexer_re = re.compile("|".join(_LEXER_PARTS) + r"|\(|\)")
    out.append(_agree("7-way lexer MatchFirst.search_string stdlib sources",
                      lambda: lexer.search_string(text), lambda: lexer_re.findall(text)))
    out.append(_agree("7-way lexer MatchFirst.search_string_count stdlib sources",
                      lambda: lexer.search_string_count(text), lambda: len(lexer_re.findall(text))))


def _licence_rows(out):
    text = _read_all(glob.glob("/usr/share/common-licenses/*"))
    if not text:
        return
    names = q.one_of("AGPL LGPL GPL")
    names_re = re.compile("AGPL|LGPL|GPL")
    out.append(_agree("licence names one_of.search_string common-licenses",
                      lambda: names.search_string(text), lambda: names_re.findall(text)))
    gnu = q.Keyword("GNU")
    gnu_re = re.compile(r"\bGNU\b")
    out.append(_agree("mask Keyword('GNU').transform_string common-licenses",
                      lambda: gnu.transform_string(text, "XXX"), lambda: gnu_re.sub("XXX", text)))


def _log_rows(out):
    path, text = _log()
    if not text:
        return
    line = q.rest_of_line()
    out.append(_agree(f"lines rest_of_line.search_string {path}",
                      lambda: line.search_string(text), lambda: [l for l in text.split("\n") if l]))

    word = q.Regex(r"[^ \n]+")
    space = q.Suppress(q.Literal(" "))
    fields = word + space + word + space + word + space + q.rest_of_line()
    whole = q.OneOrMore(q.Group(fields) + q.Suppress(q.LineEnd()))
    fields_re = re.compile(r"([^ \n]+) ([^ \n]+) ([^ \n]+) ([^\n]*)\n")
    if text.endswith("\n") and all(fields_re.fullmatch(l + "\n") for l in text.split("\n")[:-1]):
        out.append(_agree(f"whole log OneOrMore(Group+LineEnd).parse_string {path}",
                          lambda: whole.parse_string(text),
                          lambda: [f for m in fields_re.findall(text) for f in m]))


def _short_row_rows(out, csv_text):
    passwd = _read("/etc/passwd")
    if passwd:
        # Distinct line objects, as a large account list would give.
        lines = [l for l in (passwd * (20_000 // max(passwd.count("\n"), 1) + 1)).split("\n") if l]
        field = q.Optional(q.Word(q.printables().replace(":", "") + " "))
        colon = q.Suppress(q.Literal(":"))
        row = field
        for _ in range(6):
            row = row + colon + field
        group = q.Group(row)
        out.append(_agree(f"passwd Group(row).parse_batch {len(lines)} lines",
                          lambda: group.parse_batch(lines),
                          lambda: [[f for f in l.split(":") if f] for l in lines]))

    csv_lines = csv_text.split("\n")[:-1]
    cell = q.Word(q.alphanums() + ".")
    comma = q.Suppress(q.Literal(","))
    csv_row = q.Group(cell + comma + cell + comma + cell + comma + cell + comma + cell)
    out.append(_agree(f"CSV Group(row).parse_batch {len(csv_lines)} lines vs str.split",
                      lambda: csv_row.parse_batch(csv_lines), lambda: [l.split(",") for l in csv_lines]))
    out.append(_agree(f"CSV Group(row).parse_batch {len(csv_lines)} lines vs csv.reader",
                      lambda: csv_row.parse_batch(csv_lines), lambda: list(csv.reader(csv_lines))))

    services = _read("/etc/services")
    if services:
        body = "\n".join(l for l in services.split("\n") if l and not l.startswith("#")) + "\n"
        # Split from a repeated text, so that every line is an object of its own.
        entries = (body * (20_000 // max(body.count("\n"), 1) + 1)).split("\n")[:-1]
        name = q.Word(q.alphanums() + "-_.+")
        gap = q.Suppress(q.Regex(r"[ \t]+"))
        service = q.Group(name + gap + q.Word(q.nums()) + q.Suppress(q.Literal("/")) + q.Word(q.alphas()))

        def services_baseline():
            out_rows = []
            for l in entries:
                f = l.split(None, 2)
                port, proto = f[1].split("/")
                out_rows.append([f[0], port, proto])
            return out_rows

        out.append(_agree(f"services Group(row).parse_batch {len(entries)} lines",
                          lambda: service.parse_batch(entries), services_baseline))

        # Aliases: the names after "name port/proto", up to a comment.
        alias = q.Word(q.alphanums() + "-_.+/")
        aliases = q.ZeroOrMore(q.Suppress(q.Regex(r"[ \t]+")) + alias)
        head_re = re.compile(r"[^ \t]+[ \t]+[^ \t]+")
        tails = [l[head_re.match(l).end():] for l in entries]
        alias_re = re.compile(r"[ \t]+([A-Za-z0-9\-_.+/]+)")

        def alias_baseline():
            # Only the leading run of aliases, as ZeroOrMore stops at the first gap
            # that no alias follows.
            result = []
            for t in tails:
                found, pos = [], 0
                for m in alias_re.finditer(t):
                    if m.start() != pos:
                        break
                    found.append(m.group(1))
                    pos = m.end()
                result.append(found)
            return result

        def alias_findall():
            return [alias_re.findall(t.split("#", 1)[0]) for t in tails]

        if alias_baseline() == alias_findall():
            alias_baseline = alias_findall
        out.append(_agree(f"aliases ZeroOrMore per line {len(tails)} lines",
                          lambda: [aliases.parse_string(t) for t in tails], alias_baseline))


def _arithmetic_rows(out):
    exprs = _expressions()
    arith = _arithmetic()
    grouped = q.Group(arith)
    token_re = re.compile(r"[0-9]+|[-+*/()]")
    out.append(_agree(f"arithmetic Forward.parse_string each {len(exprs)}",
                      lambda: [arith.parse_string(e) for e in exprs], lambda: [token_re.findall(e) for e in exprs]))
    out.append(_agree(f"arithmetic Group(Forward).parse_batch {len(exprs)}",
                      lambda: grouped.parse_batch(exprs), lambda: [token_re.findall(e) for e in exprs]))


def _flat_batch_rows(out):
    rnd = random.Random(19)
    strings = [f"{rnd.choice('abcdefgh')}{i}{rnd.choice(('', ' tail', '-x'))}" for i in range(1_000_000)]
    word = q.Word(q.alphanums())
    word_re = re.compile(r"[A-Za-z0-9]+")
    regex = q.Regex(r"[a-h][0-9]+")
    regex_re = re.compile(r"[a-h][0-9]+")

    def match_loop(rx):
        def run():
            out_list = []
            for s in strings:
                m = rx.match(s)
                if m:
                    out_list.append(m.group())
            return out_list
        return run

    out.append(_agree("Word.parse_batch 10^6 distinct strings", lambda: word.parse_batch(strings), match_loop(word_re)))
    out.append(_agree("Regex.parse_batch 10^6 distinct strings", lambda: regex.parse_batch(strings),
                      match_loop(regex_re)))


def rows():
    out = []
    csv_text = _csv_text()
    _comment_rows(out)
    _csv_field_rows(out, csv_text)
    _digit_rows(out)
    _lexer_rows(out)
    _licence_rows(out)
    _log_rows(out)
    _short_row_rows(out, csv_text)
    _arithmetic_rows(out)
    _flat_batch_rows(out)
    return out
