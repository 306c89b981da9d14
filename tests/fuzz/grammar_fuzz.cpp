// libFuzzer harness: decodes a byte string into a text and a small program
// that builds a grammar through the module's own classes (so every class fast
// path is reachable), then checks invariants that need no model:
//   - kind level (through the record's interface): ends and failure
//     positions inside the text, try_match_at and parse_at agreeing where
//     the grammar has no kind that lets them differ, parse_from_start equal
//     to parse_at at 0;
//   - class level: matches equal to try_match_at at 0, search_string_count
//     equal to the plain counting scan, search_string and transform_string
//     equal to the plain scan's spans, parse_batch and parse_batch_count over
//     repeating input lists equal to the items evaluated one by one, and
//     every result made of whole-character str objects;
//   - the text-period and occurrence-count routines equal to brute force.
// Any breach aborts with a message; crashes, leaks and undefined behaviour
// are the sanitizers' to report.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "elements/chars.hpp"
#include "elements/element.hpp"
#include "messages.hpp"
#include "lib/engines.hpp"
#include "lib/to_element.hpp"
#include "elements/match_context.hpp"
#include "elements/program.hpp"

#if __has_include("elements/counting.hpp")
#include "elements/counting.hpp"
#define QGX_FUZZ_COUNTING 1
#endif
#if __has_include("elements/literals.hpp")
#include "elements/literals.hpp"
#define QGX_FUZZ_LITERALS 1
#endif
#if __has_include("lib/text_map.hpp")
#include <map>

#include "lib/text_map.hpp"
#define QGX_FUZZ_TEXT_MAP 1
#endif

extern "C" PyObject* PyInit_quillgramx();

namespace {

using qgx::Pos;
using qgx::Text;

// The grammar and text being checked, as Python source, for the report of a breach.
std::string g_current;

[[noreturn]] void breach(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s %s\n%s\n", what, detail.c_str(), g_current.c_str());
    std::fflush(stderr);
    std::abort();
}

// An owned reference.
struct Ref {
    PyObject* p = nullptr;
    Ref() = default;
    explicit Ref(PyObject* o) : p(o) {}
    Ref(const Ref& o) : p(o.p) { Py_XINCREF(p); }
    Ref& operator=(const Ref& o) {
        Py_XINCREF(o.p);
        Py_XDECREF(p);
        p = o.p;
        return *this;
    }
    ~Ref() { Py_XDECREF(p); }
    explicit operator bool() const { return p != nullptr; }
};

PyObject* g_module = nullptr;

// Adversaries written in Python: caller code that runs inside a call and
// changes what the call was handed (batch inputs changed by a collection
// callback, constructor arguments dropped by a conversion's own code).
const char kAdversaries[] = R"PY(
import gc
import signal
import quillgramx as q

# Every Forward built for the present input with its target; a signal
# tripped before an operation runs this from the operation's own signal
# check, which points each at the target it already has (so every result
# stays what it was) while the call is paused inside it.
retargets = []

def retarget_same(signum, frame):
    for f, t in retargets:
        f.set(t)
    gc.collect()

signal.signal(signal.SIGWINCH, retarget_same)

class DropCount:
    """A count whose __index__ empties the call's keyword dict."""
    def __init__(self, n):
        self.n = n
    def __index__(self):
        for r in gc.get_referrers(self):
            if isinstance(r, dict) and "count" in r:
                r.clear()
        return self.n

def drop_bool(self):
    for r in gc.get_referrers(self):
        if isinstance(r, dict) and "multiline" in r:
            r.clear()
    return self.value

DropBool = type("bool_", (), {"__module__": "numpy", "__bool__": drop_bool})

def exactly_dropping(expr, n):
    return q.Exactly(**{"expr": expr, "count": DropCount(n)})

def quoted_dropping(quote, esc, multiline, unquote):
    b = DropBool()
    b.value = multiline
    return q.QuotedString(**{"quote_char": "".join([quote, ""]), "esc_char": esc, "multiline": b,
                             "unquote": unquote})

def matched(g, text, through_forward):
    """g after every operation ran on it (directly, or through a Forward then
    pointed elsewhere), so that what its first matches made is made."""
    h = g
    if through_forward:
        h = q.Forward()
        h <<= g
    for name, *args in (("parse_string", text), ("matches", text), ("search_string", text),
                        ("search_string_count", text), ("transform_string", text, ""),
                        ("parse_batch", [text, ""]), ("parse_batch_count", [text])):
        try:
            getattr(h, name)(*args)
        except ValueError:
            pass
    if through_forward:
        h <<= q.Empty()
    return g

def changed_batch(g, op, items, how):
    """op over a fresh copy of items (each distinct object copied once) whose
    list the first collection inside the call changes."""
    copies = {}
    fresh = [copies.setdefault(id(x), x[:1] + x[1:]) for x in items]
    del copies
    state = [False, False]
    def hook(phase, info):
        if phase == "start" and state[0] and not state[1]:
            state[1] = True
            if how == 0:
                fresh.clear()
            elif how == 1:
                del fresh[1:]
            elif how == 2:
                fresh.extend("grown%d" % i for i in range(len(fresh) + 10))
            else:
                fresh[:] = ["zz%d" % i for i in range(len(fresh))]
    call = getattr(g, op)
    old = gc.get_threshold()
    gc.callbacks.append(hook)
    try:
        gc.set_threshold(1, 1000000, 1000000)
        gc.collect()
        pad = []
        state[0] = True
        return call(fresh)
    finally:
        gc.callbacks.remove(hook)
        gc.set_threshold(*old)
)PY";
PyObject* g_adversaries = nullptr;  // the namespace of kAdversaries

PyObject* adversary(const char* name) { return PyDict_GetItemString(g_adversaries, name); }

// Whether each operation of the present input starts with SIGWINCH pending,
// whose handler retargets every Forward from inside the operation.
bool g_trip_signal = false;

void remember_target(PyObject* forward, PyObject* target) {
    Ref pair(PyTuple_Pack(2, forward, target));
    if (!pair || PyList_Append(adversary("retargets"), pair.p) < 0) PyErr_Clear();
}

void forget_targets() {
    PyObject* list = adversary("retargets");
    if (PyList_SetSlice(list, 0, PyList_GET_SIZE(list), nullptr) < 0) PyErr_Clear();
}

Ref attr(const char* name) {
    PyObject* o = PyObject_GetAttrString(g_module, name);
    if (!o) PyErr_Clear();
    return Ref(o);
}

// Input reader: every read past the end gives 0.
struct Reader {
    const uint8_t* d;
    size_t n, i = 0;
    uint8_t byte() { return i < n ? d[i++] : 0; }
    bool more() const { return i < n; }
};

// The characters texts are made of: structure, letters, whitespace kinds,
// and characters of two, three and four bytes.
const char* const kChars[] = {"a", "b", "c", "A", "B", "_", "1", "(", ")", ",", " ", "\n", "\t", "\r", "\x0b",
                              "\"", "'", "\\", "x", "y", "\xc3\xa9", "\xc3\x89", "\xc2\xa0", "\xe6\x97\xa5",
                              "\xe2\x82\xac", "\xe3\x80\x80", "\xf0\x9f\x98\x80", "\xd0\x96", "a", "b", "(", "\n"};
constexpr int kCharCount = sizeof(kChars) / sizeof(kChars[0]);

std::string word(Reader& r, int max_len) {
    std::string s;
    int n = r.byte() % (max_len + 1);
    for (int i = 0; i < n; ++i) s += kChars[r.byte() % kCharCount];
    return s;
}

const char* const kPatterns[] = {"a+", "a*", "", "\\s+", "\\s*", "[abc]", "[a\\]b]", "[a-c]+", "^a|b", "(?:ab)+",
                                 "\\bab", "a$", ".", "\\d+", "\\w+", "[\xc3\xa9]", "a|ab", "(a|b)*c", "[^a]",
                                 "\xe6\x97\xa5+", "\\(", "a{1,2}", "x*?", "[", "(?:",
                                 // Patterns that close the wrapping group: refused, never a wider pattern.
                                 "[x])|(?:y", "a)|(b", ")|(", "\\b", "\\B",
                                 // Atoms and a run, read from the bytes.
                                 "#[^\n]*", "[a-h][0-9]+", "ab{2}.", "[^a]b*", "(?i)k", "\xc3\xa9[a-z]*",
                                 // A leading "^" with later top-level alternatives: matched where they begin.
                                 "^a|b", "^ab|a|b$", "^(?:a|b)c|\\bd", "^|a", "(?m)^a|b$",
                                 // Served by the anchored matcher (and its give-up to the engine).
                                 "[^:\n]*", "\"(?:[^\"]|\"\")*\"|[^,\n\"]*", "(?:ab|a)\\b", "\\n\\n",
                                 "(?:a|ab)(?:c|bcd)", "\\b\\w", "(?m)$^", "x?(?:|a+)*", "a*?b|\\B"};
constexpr int kPatternCount = sizeof(kPatterns) / sizeof(kPatterns[0]);

const char* const kPositional[] = {"Empty", "NoMatch", "LineStart", "LineEnd", "StringStart", "StringEnd",
                                   "rest_of_line"};
const char* const kWrappers[] = {"Optional", "ZeroOrMore", "OneOrMore", "Group", "Suppress", "Combine", "SkipTo"};

// What the grammar holds that lets try_match_at and parse_at decide differently.
struct Traits {
    bool try_parse_may_differ = false;
    bool has_skip_to = false;
    bool deep = false;
};

std::string quoted(const std::string& s) {
    std::string o = "'";
    for (unsigned char c : s) {
        if (c == '\n') o += "\\n";
        else if (c == '\'' || c == '\\') o += std::string("\\") + static_cast<char>(c);
        else o += static_cast<char>(c);
    }
    return o + "'";
}

// QGX_FUZZ_VERBOSE=1 prints each grammar as Python source before it is checked.
bool g_verbose = false;

std::string repr(PyObject* o);

struct Builder {
    std::vector<Ref> stack;
    std::vector<std::string> desc;  // the same grammar as Python source, for reproducers
    std::vector<Ref> forwards;
    Traits traits;
    PyObject* text = nullptr;  // the text checked, borrowed

    std::string pending;  // the description of the object being pushed

    void push(PyObject* o) {
        if (!o) {
            PyErr_Clear();
            return;
        }
        if (stack.size() >= 16) {
            stack.erase(stack.begin());
            desc.erase(desc.begin());
        }
        stack.push_back(Ref(o));
        desc.push_back(pending);
    }
    Ref pop() {
        Ref r = stack.back();
        pending = desc.back();
        stack.pop_back();
        desc.pop_back();
        return r;
    }
    void describe(const std::string& d) { pending = d; }

    PyObject* call1(const char* cls, PyObject* arg) {
        Ref c = attr(cls);
        if (!c) return nullptr;
        return PyObject_CallOneArg(c.p, arg);
    }
    PyObject* call_str(const char* cls, const std::string& s) {
        Ref a(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
        return call1(cls, a.p);
    }

    void step(Reader& r) {
        uint8_t op = r.byte() % 22;
        switch (op) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4: {
                const char* cls = op < 2 ? "Literal" : op == 2 ? "Keyword" : op == 4 ? "Char"
                                  : (r.byte() & 1) ? "CaselessKeyword" : "CaselessLiteral";
                std::string w = word(r, op == 4 ? 4 : 3);
                // Sometimes long enough that scans test it through the memo of
                // where it next occurs (texts repeating a short block hold it).
                if (op != 4 && !w.empty() && (r.byte() & 7) == 0)
                    while (w.size() < 64) w += w;
                describe(std::string(cls) + "(" + quoted(w) + ")");
                push(call_str(cls, w));
                break;
            }
            case 5: {
                std::string init = word(r, 4);
                Ref c = attr("Word");
                if (!c) break;
                Ref a(PyUnicode_FromStringAndSize(init.data(), static_cast<Py_ssize_t>(init.size())));
                std::string body = init;
                if (r.byte() & 1) {
                    describe("Word(" + quoted(init) + ")");
                    push(PyObject_CallOneArg(c.p, a.p));
                } else {
                    body = word(r, 4);
                    Ref bo(PyUnicode_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
                    describe("Word(" + quoted(init) + ", " + quoted(body) + ")");
                    push(PyObject_CallFunctionObjArgs(c.p, a.p, bo.p, nullptr));
                }
                break;
            }
            case 6: {
                std::string p = kPatterns[r.byte() % kPatternCount];
                if (r.byte() & 1) p += word(r, 2);
                describe("Regex(" + quoted(p) + ")");
                push(call_str("Regex", p));
                break;
            }
            case 7: {
                Ref c = attr("QuotedString");
                if (!c) break;
                static const char* const kQuotes[] = {"\"", "'", "", "ab", "(", "\xc3\xa9", "\n"};
                static const char* const kEsc[] = {nullptr, "\\", "", "\"", "\n", "\xc3\xa9", "'", "("};
                const char* q = kQuotes[r.byte() % 7];
                const char* e = kEsc[r.byte() % 8];
                uint8_t flags = r.byte();
                Ref qa(PyUnicode_FromString(q));
                Ref ea(e ? PyUnicode_FromString(e) : (Py_INCREF(Py_None), Py_None));
                Ref ml(PyBool_FromLong(flags & 1));
                Ref uq(PyBool_FromLong(flags & 2));
                describe("QuotedString(" + quoted(q) + ", " + (e ? quoted(e) : std::string("None")) +
                         (flags & 1 ? ", True" : ", False") + (flags & 2 ? ", True)" : ", False)"));
                // Sometimes through a numpy-named bool whose __bool__ empties the keyword dict.
                if ((flags & 4) && *q)
                    push(PyObject_CallFunctionObjArgs(adversary("quoted_dropping"), qa.p, ea.p, ml.p, uq.p, nullptr));
                else
                    push(PyObject_CallFunctionObjArgs(c.p, qa.p, ea.p, ml.p, uq.p, nullptr));
                // Sometimes as the first member of a MatchFirst, whose scans try it
                // at the positions its dispatch table leaves.
                if ((flags & 8) && !stack.empty()) {
                    Ref top = pop();
                    std::string w = word(r, 2);
                    Ref lit(call_str("Literal", w));
                    if (!lit) {
                        PyErr_Clear();
                        break;
                    }
                    Ref list(PyList_New(2));
                    Py_INCREF(top.p);
                    PyList_SET_ITEM(list.p, 0, top.p);
                    PyList_SET_ITEM(list.p, 1, lit.p);
                    lit.p = nullptr;
                    describe("MatchFirst([" + pending + ", Literal(" + quoted(w) + ")])");
                    push(call1("MatchFirst", list.p));
                }
                break;
            }
            case 8: {
                const char* name = kPositional[r.byte() % 7];
                Ref c = attr(name);
                describe(std::string(name) + "()");
                if (c) push(PyObject_CallNoArgs(c.p));
                break;
            }
            case 9: {
                std::string words = word(r, 3) + " " + word(r, 3) + "\t" + word(r, 2);
                Ref f = attr("one_of");
                if (!f) break;
                Ref a(PyUnicode_FromStringAndSize(words.data(), static_cast<Py_ssize_t>(words.size())));
                describe("one_of(" + quoted(words) + ")");
                push(PyObject_CallOneArg(f.p, a.p));
                break;
            }
            case 10:
            case 11: {
                if (stack.empty()) break;
                int w = r.byte() % 7;
                if (w == 2) traits.try_parse_may_differ = true;  // OneOrMore accepts a zero-width first match in try_match_at
                if (w == 6) traits.has_skip_to = true;
                Ref top = pop();
                describe(std::string(kWrappers[w]) + "(" + pending + ")");
                push(call1(kWrappers[w], top.p));
                break;
            }
            case 12: {
                if (stack.empty()) break;
                Ref c = attr("Exactly");
                if (!c) break;
                static const unsigned long long kCounts[] = {0, 1, 2, 3, 4294967295ull, 4294967296ull};
                uint8_t cb = r.byte();
                unsigned long long count = kCounts[cb % 6];
                Ref n(PyLong_FromUnsignedLongLong(count));
                Ref top = pop();
                describe("Exactly(" + pending + ", " + std::to_string(count) + ")");
                // Half the time through a count whose __index__ empties the keyword dict.
                if (cb & 0x80)
                    push(PyObject_CallFunctionObjArgs(adversary("exactly_dropping"), top.p, n.p, nullptr));
                else
                    push(PyObject_CallFunctionObjArgs(c.p, top.p, n.p, nullptr));
                break;
            }
            case 13:
            case 14: {
                if (stack.size() < 2) break;
                Ref b = pop();
                std::string db = pending;
                Ref a = pop();
                describe("(" + pending + (op == 13 ? " + " : " | ") + db + ")");
                push(op == 13 ? PyNumber_Add(a.p, b.p) : PyNumber_Or(a.p, b.p));
                break;
            }
            case 15: {
                size_t k = r.byte() % 4;
                if (k > stack.size()) k = stack.size();
                Ref list(PyList_New(static_cast<Py_ssize_t>(k)));
                std::string d = "MatchFirst([";
                for (size_t i = 0; i < k; ++i) {
                    Ref e = pop();
                    d += (i ? ", " : "") + pending;
                    Py_INCREF(e.p);
                    PyList_SET_ITEM(list.p, static_cast<Py_ssize_t>(i), e.p);
                }
                describe(d + "])");
                push(call1("MatchFirst", list.p));
                break;
            }
            case 16: {
                Ref c = attr("Forward");
                if (!c) break;
                PyObject* f = PyObject_CallNoArgs(c.p);
                if (f) {
                    Py_INCREF(f);
                    forwards.push_back(Ref(f));
                }
                describe("f" + std::to_string(forwards.size()));
                if (g_verbose) std::fprintf(stderr, "f%zu = Forward()\n", forwards.size());
                push(f);
                break;
            }
            case 17: {
                // The most recent Forward takes the top as its target (a cycle when it holds the Forward).
                if (forwards.empty() || stack.empty()) break;
                Ref target = stack.back();
                traits.deep = true;  // a cycle may recurse to the nesting bound at every position
                if (g_verbose) std::fprintf(stderr, "f%zu.set(%s)\n", forwards.size(), desc.back().c_str());
                Ref res(PyObject_CallMethod(forwards.back().p, "set", "O", target.p));
                if (!res) PyErr_Clear();
                else remember_target(forwards.back().p, target.p);
                break;
            }
            case 18:
                if (!stack.empty()) {
                    PyObject* o = stack.back().p;
                    Py_INCREF(o);
                    describe(desc.back());
                    push(o);
                }
                break;
            case 19: {
                // A deep chain of wrappers: the nesting bound and the iterative release.
                if (stack.empty()) break;
                int depth = (r.byte() << 4) + 1;
                if (depth > 200) traits.deep = true;
                const char* cls = r.byte() & 1 ? "Group" : "Optional";
                Ref c = attr(cls);
                if (!c) break;
                Ref cur = pop();
                describe(std::string(cls) + "^" + std::to_string(depth) + "(" + pending + ")");
                for (int i = 0; i < depth && cur; ++i) cur = Ref(PyObject_CallOneArg(c.p, cur.p));
                if (!cur) {
                    PyErr_Clear();
                    break;
                }
                Py_INCREF(cur.p);
                push(cur.p);
                break;
            }
            case 20: {
                // A Forward that loops on itself (every match through it reaches the
                // nesting bound), most often as an alternative of a MatchFirst or the
                // target of a SkipTo, beside what the stack holds.
                Ref c = attr("Forward");
                if (!c) break;
                Ref loop(PyObject_CallNoArgs(c.p));
                if (!loop) {
                    PyErr_Clear();
                    break;
                }
                Ref res(PyObject_CallMethod(loop.p, "set", "O", loop.p));
                if (!res) PyErr_Clear();
                else remember_target(loop.p, loop.p);
                forwards.push_back(loop);
                traits.deep = true;
                if (g_verbose) std::fprintf(stderr, "loop = Forward(); loop <<= loop\n");
                uint8_t how = r.byte() % 3;
                if (how == 0 || stack.empty()) {
                    describe("loop");
                    Py_INCREF(loop.p);
                    push(loop.p);
                } else if (how == 1) {
                    Ref other = pop();
                    std::string d = pending;
                    bool loop_first = r.byte() & 1;
                    Ref list(PyList_New(2));
                    Py_INCREF(loop.p);
                    Py_INCREF(other.p);
                    PyList_SET_ITEM(list.p, loop_first ? 0 : 1, loop.p);
                    PyList_SET_ITEM(list.p, loop_first ? 1 : 0, other.p);
                    describe(loop_first ? "MatchFirst([loop, " + d + "])" : "MatchFirst([" + d + ", loop])");
                    push(call1("MatchFirst", list.p));
                } else {
                    Ref other = pop();
                    std::string d = pending;
                    Ref list(PyList_New(3));
                    Py_INCREF(other.p);
                    Py_INCREF(loop.p);
                    Py_INCREF(other.p);
                    PyList_SET_ITEM(list.p, 0, other.p);
                    PyList_SET_ITEM(list.p, 1, loop.p);
                    PyList_SET_ITEM(list.p, 2, other.p);
                    Ref choice(call1("MatchFirst", list.p));
                    if (!choice) {
                        PyErr_Clear();
                        break;
                    }
                    traits.has_skip_to = true;
                    describe("SkipTo(MatchFirst([" + d + ", loop, " + d + "]))");
                    push(call1("SkipTo", choice.p));
                }
                break;
            }
            case 21: {
                // The top matched now, on the start of the text (its programs and
                // tables made), then at once the left operand of a `+` or `|` that
                // may grow its record in place: the result must be matched as what
                // it has become.
                if (stack.empty() || !text) break;
                uint8_t how = r.byte();
                Ref head(PyUnicode_Substring(text, 0, 1 + (how >> 3) % 24));
                std::string w = word(r, 3);
                Ref lit(call_str("Literal", w));
                Ref and_type = attr("And"), or_type = attr("MatchFirst");
                if (!head || !lit) {
                    PyErr_Clear();
                    break;
                }
                Ref top = pop();
                bool plus = Py_TYPE(top.p) == reinterpret_cast<PyTypeObject*>(and_type.p) ||
                            (Py_TYPE(top.p) != reinterpret_cast<PyTypeObject*>(or_type.p) && (how & 2));
                describe("(matched(" + pending + ", " + repr(head.p) + ((how & 1) ? ", True)" : ", False)") +
                         (plus ? " + " : " | ") + "Literal(" + quoted(w) + "))");
                Ref flag(PyBool_FromLong(how & 1));
                Ref res(PyObject_CallFunctionObjArgs(adversary("matched"), top.p, head.p, flag.p, nullptr));
                if (!res) breach("unexpected error from", "the operations before growth");
                top = Ref();  // the returned object the only reference, when the stack's was before
                push(plus ? PyNumber_Add(res.p, lit.p) : PyNumber_Or(res.p, lit.p));
                break;
            }
        }
    }

    // Breaks the cycles through Forward slots, so that leak checking sees only real leaks.
    void release() {
        forget_targets();
        Ref empty = attr("Empty");
        for (Ref& f : forwards) {
            if (!empty) break;
            Ref e(PyObject_CallNoArgs(empty.p));
            Ref res(PyObject_CallMethod(f.p, "set", "O", e.p));
            if (!res) PyErr_Clear();
        }
        forwards.clear();
        stack.clear();
    }
};

std::string make_text(Reader& r) {
    uint8_t mode = r.byte();
    std::string block;
    int n = r.byte() % 24;
    for (int i = 0; i < n; ++i) block += kChars[r.byte() % kCharCount];
    if (!(mode & 1) || block.empty()) return block;
    // A repeating text around the period bounds.
    static const size_t kTargets[] = {4, 9, 1023, 1024, 1025, 1026, 2048, 2049, 2050};
    size_t target = kTargets[(mode >> 1) % 9];
    if (mode & 0x40) target = 2 * block.size() + ((mode >> 4) & 3);
    std::string t;
    while (t.size() < target) t += block;
    // Cut on a character boundary at or below the target.
    size_t cut = target < t.size() ? target : t.size();
    while (cut > 0 && cut < t.size() && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;
    t.resize(cut);
    if (mode & 0x80) t += "x";
    return t;
}

bool boundary(Text t, Pos p) { return qgx::on_boundary(t, p); }

std::string repr(PyObject* o) {
    Ref r(PyObject_Repr(o));
    if (!r) {
        PyErr_Clear();
        return "<repr failed>";
    }
    const char* s = PyUnicode_AsUTF8(r.p);
    std::string out = s ? s : "<?>";
    return out.size() > 400 ? out.substr(0, 400) + "..." : out;
}

// Every result is built of exact str, list, int and bool objects.
void check_well_formed(PyObject* o, const char* what) {
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o)) return;
    if (!PyList_CheckExact(o)) breach("result of unexpected type from", what);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) check_well_formed(PyList_GET_ITEM(o, i), what);
}

// Calls a method; nullptr when it raised (the error must be an expected kind).
Ref call_method(PyObject* obj, const char* name, PyObject* a, PyObject* b = nullptr) {
    if (g_trip_signal) PyErr_SetInterruptEx(SIGWINCH);
    PyObject* r = b ? PyObject_CallMethod(obj, name, "OO", a, b) : PyObject_CallMethod(obj, name, "O", a);
    if (!r) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        bool expected = t && (PyErr_GivenExceptionMatches(t, PyExc_ValueError) ||
                              PyErr_GivenExceptionMatches(t, PyExc_TypeError) ||
                              PyErr_GivenExceptionMatches(t, PyExc_UnicodeError));
        std::string why = t ? repr(v ? v : t) : "no error set";
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
        if (!expected) breach("unexpected error from", std::string(name) + ": " + why);
        return Ref();
    }
    check_well_formed(r, name);
    return Ref(r);
}

bool equal(PyObject* a, PyObject* b) {
    int e = PyObject_RichCompareBool(a, b, Py_EQ);
    if (e < 0) breach("comparison failed");
    return e == 1;
}

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }
bool is_class(PyObject* o, const char* name) {
    const char* n = type_name(o);
    const char* dot = std::strrchr(n, '.');
    return std::strcmp(dot ? dot + 1 : n, name) == 0;
}

std::string tokens_text(const qgx::TokenList& tl) {
    std::string s;
    for (const qgx::SharedText& t : tl) {
        s += '[';
        s.append(t.data(), t.size());
        s += ']';
    }
    return s;
}

// Kind level, through the record's interface table.
void check_kind(const qgx::SharedElement& e, Text t, const Traits& traits) {
    qgx::reset_depth_exceeded();
    Pos limit = traits.has_skip_to || traits.deep ? 24 : 160;
    for (Pos p = 0; p <= t.len; ++p) {
        if (p > limit && p + 4 < t.len) continue;
        qgx::reset_depth_exceeded();
        qgx::TryMatchOutcome m = e.try_match_at(t, p);
        if (m.matched && (m.end < p || m.end > t.len)) breach("try_match_at end outside the text");
        qgx::ParseOutcome o = e.parse_at(t, p);
        if (qgx::depth_exceeded()) continue;
        if (o.ok) {
            if (o.end < p || o.end > t.len) breach("parse_at end outside the text");
        } else if (o.failure.position < p || o.failure.position > t.len) {
            breach("failure position outside the tried range", std::to_string(o.failure.position));
        }
        if (!traits.try_parse_may_differ && (o.ok != (m.matched != 0) || (o.ok && o.end != m.end)))
            breach("try_match_at and parse_at disagree at", std::to_string(p));
    }
    qgx::reset_depth_exceeded();
    qgx::ParseOutcome at0 = e.parse_at(t, 0);
    qgx::ParseFromStartOutcome fs = e.parse_from_start(t);
    if (at0.ok != fs.ok) breach("parse_from_start and parse_at at 0 disagree on success");
    if (at0.ok && tokens_text(at0.tokens) != tokens_text(fs.tokens)) breach("parse_from_start tokens differ");
    if (!at0.ok && (at0.failure.position != fs.failure.position ||
                    at0.failure.message.view() != fs.failure.message.view()))
        breach("parse_from_start failure differs");
}

// One call's whole outcome in both modes, as text.
// Whether the thread's stack stopped either half of the last outcome_text.
bool g_stack_short = false;

std::string outcome_text(const qgx::SharedElement& e, Text t, Pos p) {
    qgx::reset_depth_exceeded();
    qgx::ParseOutcome o = e.parse_at(t, p);
    std::string r = o.ok ? "ok " + std::to_string(o.end) + " " + tokens_text(o.tokens)
                         : "fail " + std::to_string(o.failure.position) + " " + std::string(o.failure.message.view());
    r += qgx::depth_exceeded() ? " (depth)" : "";
    g_stack_short = qgx::depth_stack_short();
    qgx::reset_depth_exceeded();
    qgx::TryMatchOutcome m = e.try_match_at(t, p);
    r += m.matched ? " / yes " + std::to_string(m.end) : " / no";
    r += qgx::depth_exceeded() ? " (depth)" : "";
    g_stack_short = g_stack_short || qgx::depth_stack_short();
    return r;
}

// The kinds' own algorithms (programs off) are the reference: the compiled
// program, and then the program with outcomes remembered from the first call
// on (asked once and asked again), give the same at every position. Where
// the thread's stack stopped a match, the programs, whose frames differ,
// may stop elsewhere.
void check_memo(const qgx::SharedElement& e, Text t, const Traits& traits) {
    Pos limit = traits.has_skip_to || traits.deep ? 24 : 160;
    std::vector<std::string> plain;
    bool stack_short = false;
    {
        qgx::ProgramsOff off;
        for (Pos p = 0; p <= t.len; ++p)
            if (p <= limit || p + 4 >= t.len) {
                plain.push_back(outcome_text(e, t, p));
                stack_short = stack_short || g_stack_short;
            }
    }
    if (stack_short) return;
    auto compare = [&](const char* what) {
        size_t i = 0;
        for (Pos p = 0; p <= t.len; ++p) {
            if (p > limit && p + 4 < t.len) continue;
            std::string got = outcome_text(e, t, p);
            bool short_here = g_stack_short;
            if (got != plain[i] && !short_here) breach(what, std::to_string(p) + ": " + got + " vs " + plain[i]);
            ++i;
        }
    };
    compare("compiled program differs at");
    qgx::ContextScope scope;
    qgx::begin_text(t);
    qgx::remember_outcomes_now();
    compare("remembered outcome differs at");
    compare("remembered outcome asked again differs at");
}

// The plain scan of search_string over the record. `cut` tells whether a raw
// match begins or ends inside a character, where what is listed is open.
std::vector<qgx::Span> plain_spans(const qgx::SharedElement& e, Text t, bool& cut) {
    std::vector<qgx::Span> spans;
    cut = false;
    Pos p = 0;
    while (p < t.len) {
        qgx::TryMatchOutcome m = e.try_match_at(t, p);
        if (m.matched && m.end > p) {
            if (!boundary(t, p) || !boundary(t, m.end)) cut = true;
            spans.push_back({p, m.end});
            p = m.end;
        } else {
            ++p;
        }
    }
    return spans;
}

Ref make_inputs(Reader& r, PyObject* text, std::vector<Ref>& pool) {
    // Distinct str objects, some equal in value, arranged in repeating shapes.
    int k = 1 + r.byte() % 40;
    pool.clear();
    for (int i = 0; i < k; ++i) {
        std::string s = (i % 3 == 0) ? std::string() : word(r, 3);
        if (i % 5 == 1) {
            Py_INCREF(text);
            pool.push_back(Ref(text));
            continue;
        }
        pool.push_back(Ref(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))));
    }
    uint8_t shape = r.byte();
    std::vector<PyObject*> items;
    switch (shape % 4) {
        case 0: {
            int n = 1 + r.byte() % 50;
            for (int i = 0; i < n; ++i) items.push_back(pool[0].p);
            break;
        }
        case 1: {
            int p = 1 + r.byte() % 130;
            int q = 2 + r.byte() % 3;
            for (int j = 0; j < q; ++j)
                for (int i = 0; i < p; ++i) items.push_back(pool[i % k].p);
            if (shape & 0x10) items[items.size() / 2] = pool[(k - 1) % k].p;
            if (shape & 0x20) items.pop_back();
            break;
        }
        default: {
            int n = r.byte() % 64;
            for (int i = 0; i < n; ++i) items.push_back(pool[r.byte() % k].p);
            break;
        }
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
        Py_INCREF(items[i]);
        PyList_SET_ITEM(list.p, static_cast<Py_ssize_t>(i), items[i]);
    }
    return list;
}

// The batch results equal the items evaluated one at a time.
void check_batches(PyObject* obj, PyObject* inputs) {
    qgx::reset_depth_exceeded();
    Ref batch = call_method(obj, "parse_batch", inputs);
    Ref count = call_method(obj, "parse_batch_count", inputs);
    if (!batch || !count) breach("batch operation raised on str items");
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    bool flat = is_class(obj, "Word") || is_class(obj, "Regex");
    bool is_and = is_class(obj, "And");
    bool uniform = n > 0;
    for (Py_ssize_t i = 1; i < n; ++i)
        if (PyList_GET_ITEM(inputs, i) != PyList_GET_ITEM(inputs, 0)) uniform = false;
    Ref expect(PyList_New(0));
    Ref flat_and(PyList_New(0));
    long matched = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(inputs, i);
        Ref one(PyList_New(1));
        Py_INCREF(item);
        PyList_SET_ITEM(one.p, 0, item);
        Ref r = call_method(obj, "parse_batch", one.p);
        Ref m = call_method(obj, "matches", item);
        if (!r || !m) breach("single-item evaluation raised");
        matched += m.p == Py_True;
        if (flat) {
            if (PyList_GET_SIZE(r.p) > 1) breach("flat batch gave more than one entry for one input");
            if (PyList_GET_SIZE(r.p) == 1) PyList_Append(expect.p, PyList_GET_ITEM(r.p, 0));
        } else if (is_and) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(r.p); ++j) {
                PyObject* texts = PyList_GET_ITEM(r.p, j);
                for (Py_ssize_t x = 0; x < PyList_GET_SIZE(texts); ++x)
                    PyList_Append(flat_and.p, PyList_GET_ITEM(texts, x));
            }
        } else {
            if (PyList_GET_SIZE(r.p) != 1) breach("batch of one input gave other than one list");
            PyList_Append(expect.p, PyList_GET_ITEM(r.p, 0));
        }
    }
    // Where the nesting bound was reached, which matches are abandoned is the
    // bound's own business (it differs by a frame or two between operations).
    if (qgx::depth_exceeded()) return;
    if (is_and && !uniform) expect = flat_and;
    if (!(is_and && uniform) && !equal(batch.p, expect.p))
        breach("parse_batch differs from the items one by one", repr(batch.p) + " vs " + repr(expect.p));
    if (PyLong_AsLong(count.p) != matched) breach("parse_batch_count differs from the count of matches");

    // The same lists, changed by a collection callback during the call: the
    // results are those for the lists as they stood when the call began.
    for (const char* op : {"parse_batch", "parse_batch_count"}) {
        Ref opname(PyUnicode_FromString(op));
        Ref how(PyLong_FromLong(static_cast<long>(n % 4)));
        qgx::reset_depth_exceeded();
        Ref changed(PyObject_CallFunctionObjArgs(adversary("changed_batch"), obj, opname.p, inputs, how.p, nullptr));
        if (!changed) {
            PyErr_Print();
            breach("batch over a list changed during the call raised", op);
        }
        if (qgx::depth_exceeded()) continue;
        PyObject* want = op[11] ? count.p : batch.p;
        if (!equal(changed.p, want))
            breach("batch over a list changed during the call differs", std::string(op) + ": " + repr(changed.p) +
                                                                            " vs " + repr(want));
    }
}

void check_object(PyObject* obj, PyObject* text, Text t, Reader& r, const Traits& traits) {
    qgx::ToElementOutcome conv = qgx::to_element(obj);
    if (!conv.ok) breach("an element object did not convert");
    const qgx::SharedElement& e = conv.element;
    check_kind(e, t, traits);
    check_memo(e, t, traits);

    bool is_regex = is_class(obj, "Regex");
    Ref repl(PyUnicode_FromString(r.byte() & 1 ? "X" : "\xc3\xa9"));

    Ref ps = call_method(obj, "parse_string", text);
    Ref m = call_method(obj, "matches", text);
    if (!m) breach("matches raised on a str");
    qgx::reset_depth_exceeded();
    bool kind_matches = e.try_match_at(t, 0).matched != 0;
    if (!qgx::depth_exceeded() && (m.p == Py_True) != kind_matches) breach("matches differs from try_match_at at 0");
    {
        // matches and parse_batch_count test at the same levels: they agree at
        // the nesting bound too.
        Ref one(PyList_New(1));
        Py_INCREF(text);
        PyList_SET_ITEM(one.p, 0, text);
        Ref count = call_method(obj, "parse_batch_count", one.p);
        if (!count) breach("parse_batch_count raised on a str");
        if ((PyLong_AsLong(count.p) == 1) != (m.p == Py_True))
            breach("matches differs from parse_batch_count", repr(m.p) + " vs " + repr(count.p));
    }

    Ref ss = call_method(obj, "search_string", text);
    Ref sc = call_method(obj, "search_string_count", text);
    Ref ts = call_method(obj, "transform_string", text, repl.p);
    if (!sc) breach("search_string_count raised on a str");
    if (!is_regex) {
        qgx::reset_depth_exceeded();
        uint64_t plain = qgx::counting_scan(t, [&](Text x, Pos p) { return e.try_match_at(x, p); });
        bool cut = false;
        std::vector<qgx::Span> spans = plain_spans(e, t, cut);
        // A match cut inside a character is the open case: a class may drop
        // it from its own count (Word does, so that its count, list and
        // replacement agree), so the count is compared only where none is cut.
        // Where the nesting bound was reached, the scans still equal the plain
        // ones: every class's scan tests at its kind's levels, And's own forms
        // excepted (they test the members one level up), and where the thread's
        // stack, not the level count, stopped a match.
        const bool bound_differs = qgx::depth_exceeded() && (is_class(obj, "And") || qgx::depth_stack_short());
        if (!cut && !bound_differs && PyLong_AsUnsignedLongLong(sc.p) != plain)
            breach("search_string_count differs from the counting scan",
                   std::to_string(PyLong_AsUnsignedLongLong(sc.p)) + " vs " + std::to_string(plain));
        if (!cut && !bound_differs) {
            Ref plain_list(qgx::spans_to_list(t, spans));
            if (ts) {
                const char* rd = PyUnicode_AsUTF8(repl.p);
                Ref plain_t(qgx::replace_spans(t, spans, Text(rd, static_cast<Pos>(std::strlen(rd)))));
                if (!equal(ts.p, plain_t.p))
                    breach("transform_string differs from the plain scan", repr(ts.p) + " vs " + repr(plain_t.p));
            }
            bool general = !is_class(obj, "Literal") && !is_class(obj, "Keyword") && !is_class(obj, "And");
            if (general && ss && !equal(ss.p, plain_list.p))
                breach("search_string differs from the plain scan", repr(ss.p) + " vs " + repr(plain_list.p));
            // One listed item per non-empty match (the empty literal's zero-width matches are counted, not listed).
            if ((is_class(obj, "Literal") || is_class(obj, "Keyword")) && ss &&
                PyList_GET_SIZE(ss.p) != static_cast<Py_ssize_t>(spans.size()))
                breach("search_string lists another number of matches than the scan");
        }
        if (ss && !is_class(obj, "And") && static_cast<uint64_t>(PyList_GET_SIZE(ss.p)) > PyLong_AsUnsignedLongLong(sc.p))
            breach("search_string lists more matches than search_string_count counts");
    } else {
        if (ss && static_cast<uint64_t>(PyList_GET_SIZE(ss.p)) != PyLong_AsUnsignedLongLong(sc.p)) {
            // Regex lists every match of the iteration it counts, empty ones included.
            breach("Regex search_string and search_string_count disagree");
        }
        // The byte readings and the anchored matcher answer as the engine does.
        if (e.vtable() == qgx::regex_vtable()) {
            const auto& rx = *static_cast<const qgx::RegexElement*>(e.record());
            std::vector<qgx::Span> spans;
            rx.unanchored_regex->for_each_match(t, [&](Pos a, Pos b) { spans.push_back(qgx::Span{a, b}); });
            Ref engine_list(qgx::spans_to_list(t, spans));
            if (ss && !equal(ss.p, engine_list.p))
                breach("Regex search_string differs from the engine's iteration", repr(ss.p) + " vs " + repr(engine_list.p));
            // The pattern as written, searched from each position: its first
            // match counts where it begins there (the stored anchored program
            // must give the same answers without looking further).
            std::string_view msg = rx.message.view();
            constexpr size_t kPrefix = sizeof(qgx::msg::kRegexMessagePrefix) - 1;
            constexpr size_t kSuffix = sizeof(qgx::msg::kRegexMessageSuffix) - 1;
            std::string written(msg.substr(kPrefix, msg.size() - kPrefix - kSuffix));
            qgx::CompileOutcome w = qgx::CompiledRegex::compile(written);
            qgx::ByteSet first;
            bool at_end = false;
            bool first_known = qgx::regex_first_bytes(rx, first, at_end);
            for (Pos p = 0; p <= t.len; ++p) {
                int64_t n = rx.anchored_regex->engine_length_at(t, p);
                qgx::TryMatchOutcome m = qgx::regex_try_match_at(rx, t, p);
                if (m.matched != (n >= 0) || (n >= 0 && m.end != p + static_cast<Pos>(n)))
                    breach("Regex try_match_at differs from the engine", "at " + std::to_string(p));
                if (w.regex && w.regex->engine_length_at(t, p) != n)
                    breach("Regex anchored program differs from the pattern as written", "at " + std::to_string(p));
                if (n >= 0 && first_known && (p < t.len ? !first.has(t.at(p)) : !at_end))
                    breach("Regex matched outside its first bytes", "at " + std::to_string(p));
            }
        }
    }

    std::vector<Ref> pool;
    Ref inputs = make_inputs(r, text, pool);
    check_batches(obj, inputs.p);

    // An unreadable item stops the batch operations with the interpreter's error.
    if (PyList_GET_SIZE(inputs.p) > 0 && (r.byte() & 3) == 0) {
        Ref bad(PyLong_FromLong(5));
        Py_INCREF(bad.p);
        PyList_SetItem(inputs.p, PyList_GET_SIZE(inputs.p) / 2, bad.p);
        for (const char* op : {"parse_batch", "parse_batch_count"}) {
            PyObject* res = PyObject_CallMethod(obj, op, "O", inputs.p);
            if (res || !PyErr_ExceptionMatches(PyExc_TypeError)) breach("unreadable item did not raise TypeError");
            PyErr_Clear();
        }
    }
}

#ifdef QGX_FUZZ_COUNTING
Pos brute_period(Text t) {
    if (t.len < 4) return 0;
    for (Pos p = 1; p <= 1024 && 2 * p <= t.len; ++p) {
        bool ok = true;
        for (Pos i = p; i < t.len && ok; ++i) ok = t.data[i] == t.data[i - p];
        if (ok) return p;
    }
    return 0;
}

uint64_t brute_occurrences(std::string_view needle, Text t) {
    uint64_t c = 0;
    size_t i = 0;
    std::string_view h = t.view();
    while (!needle.empty() && (i = h.find(needle, i)) != std::string_view::npos) {
        ++c;
        i += needle.size();
    }
    return c;
}
#endif

void check_routines(Text t, Reader& r) {
#ifdef QGX_FUZZ_COUNTING
    if (qgx::find_text_period(t) != brute_period(t)) breach("find_text_period differs from brute force");
    std::string needle = word(r, 3);
    Text nt(needle.data(), static_cast<Pos>(needle.size()));
    uint64_t expect = needle.empty() ? t.len : brute_occurrences(needle, t);
    if (qgx::count_literal_occurrences(t, nt) != expect)
        breach("count_literal_occurrences differs from the leftmost scan", needle);
    qgx::Rc<qgx::KeywordElement> kw = qgx::build_keyword(needle);
    uint64_t scan = qgx::counting_scan(t, [&](Text x, Pos p) { return qgx::keyword_try_match_at(*kw, x, p); });
    if (qgx::count_keyword_occurrences(*kw, t) != scan)
        breach("count_keyword_occurrences differs from the counting scan", needle);
#else
    (void)t;
    (void)r;
#endif
}

// The per-call text maps under texts crafted to share one probe run of a
// fixed hash (the maps' old one, inverted), mixed with duplicates and the
// fuzzer's own words: each text finds the entry of its first occurrence, and
// the probes stay a few per lookup. Reads the input's last bytes on a reader
// of its own, so the decoding of everything else is unchanged.
void check_text_map(const uint8_t* data, size_t size) {
#ifdef QGX_FUZZ_TEXT_MAP
    Reader r{data, size, size > 24 ? size - 24 : 0};
    uint64_t x = 0;
    for (int i = 0; i < 8; ++i) x = x << 8 | r.byte();
    const size_t n = 256 + size_t{r.byte()} % 32 * 16;
    const uint64_t seed = 0x9E3779B97F4A7C15ull ^ 8, inv = 0x319642B2D24D8EC3ull;  // inverse of the old multiplier
    std::vector<std::string> texts;
    for (size_t i = 0; i < n; ++i) {
        uint8_t how = r.byte();
        if (how % 8 == 1 && !texts.empty()) {
            texts.push_back(texts[(x >> 7) % texts.size()]);
        } else if (how % 8 == 2) {
            texts.push_back(word(r, 9));
        } else {
            uint64_t h = (x += 0x9E3779B97F4A7C15ull) << 17;  // the old hash's low 17 bits clear
            h ^= h >> 32;
            uint64_t w = ((h ^ (h >> 29) ^ (h >> 58)) * inv) ^ seed;
            texts.emplace_back(reinterpret_cast<const char*>(&w), 8);
        }
    }
    qgx::TextMap<uint32_t> map(r.byte() % 64);
    std::map<std::string, uint32_t> first;
    for (size_t i = 0; i < texts.size(); ++i) {
        bool fresh = false;
        uint32_t& v = map.find_or_insert(texts[i], fresh);
        auto [at, inserted] = first.emplace(texts[i], static_cast<uint32_t>(i));
        if (fresh != inserted) breach("text map: a text new to the map was seen before, or the reverse");
        if (fresh) v = static_cast<uint32_t>(i);
        else if (v != at->second) breach("text map: a text found another text's entry");
    }
    if (map.probes() > 8 * texts.size() + 64) breach("text map: crafted texts share a probe run");
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_verbose = std::getenv("QGX_FUZZ_VERBOSE") != nullptr;
    PyImport_AppendInittab("quillgramx", PyInit_quillgramx);
    Py_InitializeEx(0);
    g_module = PyImport_ImportModule("quillgramx");
    if (!g_module) {
        PyErr_Print();
        std::abort();
    }
    g_adversaries = PyDict_New();
    PyDict_SetItemString(g_adversaries, "__builtins__", PyEval_GetBuiltins());
    PyObject* done = PyRun_String(kAdversaries, Py_file_input, g_adversaries, g_adversaries);
    if (!done) {
        PyErr_Print();
        std::abort();
    }
    Py_DECREF(done);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r{data, size};
    std::string text = make_text(r);
    Ref pytext(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!pytext) breach("text is not UTF-8");
    Text t(text.data(), static_cast<Pos>(text.size()));
    check_routines(t, r);
    check_text_map(data, size);

    Builder b;
    b.text = pytext.p;
    uint8_t head = r.byte();
    int ops = 1 + head % 24;
    g_trip_signal = (head & 0xE0) == 0xE0;
    for (int i = 0; i < ops && r.more(); ++i) b.step(r);
    if ((b.traits.has_skip_to || b.traits.deep) && text.size() > 96) {
        // SkipTo searches are quadratic by design, and deep chains cost their depth at
        // every scan position: keep their texts short.
        size_t cut = 96;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
        pytext = Ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        t = Text(text.data(), static_cast<Pos>(text.size()));
    }
    if (!b.stack.empty()) {
        Ref top = b.stack.back();
        g_current = "g = " + b.desc.back() + "\ntext = " + quoted(text);
        if (g_verbose) std::fprintf(stderr, "%s\n", g_current.c_str());
        check_object(top.p, pytext.p, t, r, b.traits);
        if (b.stack.size() > 1) {
            g_current = "g = " + b.desc.front() + "\ntext = " + quoted(text);
            check_object(b.stack.front().p, pytext.p, t, r, b.traits);
        }
    }
    b.release();
    if (PyErr_Occurred()) breach("an error was left set");
    return 0;
}
