#include "elements/program.hpp"

#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/positional.hpp"
#include "elements/run_memory.hpp"
#include "messages.hpp"

// The evaluator's small steps are forced inline in an optimised build; in an
// unoptimised one (the sanitizer build) forcing them would give every level
// of nesting the stack of all of them.
#if defined(__OPTIMIZE__)
#define QGX_HOT_INLINE [[gnu::always_inline]]
#else
#define QGX_HOT_INLINE
#endif

namespace qgx {

namespace {

// The operation of a node: the kind of its record. Terminals come first; a
// node from And on is a combinator, which enters a depth level.
enum class Op : uint8_t {
    Literal1,  // a Literal of one byte
    Literal,
    Keyword,
    CaselessLiteral,
    CaselessKeyword,
    Char,
    WordAscii,  // a Word with only ASCII members and no maximum: its byte run is the word
    Word,
    Regex,
    QuotedString,
    Empty,
    NoMatch,
    LineStart,
    LineEnd,
    StringStart,
    StringEnd,
    RestOfLine,
    Other,  // any other kind, through its interface table
    And,
    MatchFirst,
    ZeroOrMore,
    OneOrMore,
    Optional,
    Exactly,
    Group,
    Suppress,
    Combine,
    // Where its subtree is small, searched by the program; else through its
    // kind (which enters its own level).
    SkipTo,
    Forward,
};
constexpr Op kFirstCombinator = Op::And;

// The most nodes a small subtree holds, counted as a tree (a record used
// twice counts twice), so that running it without remembering outcomes costs
// at most this many calls.
constexpr uint32_t kSmallSubtree = 128;
// The most levels a small subtree has, and the stack each may take (frames
// are several times larger under the address sanitizer), kept free beyond
// the margin the depth entries keep.
constexpr uint32_t kSmallHeight = 32;
#if defined(__SANITIZE_ADDRESS__)
constexpr uintptr_t kSmallLevelStack = 32 * 1024;
#else
constexpr uintptr_t kSmallLevelStack = 4 * 1024;
#endif

struct Node {
    Op op = Op::Other;
    uint8_t byte = 0;  // Literal1: its byte
    // A combinator whose whole subtree is small and reaches no Forward and
    // no kind outside the program: where the depth bound is `height` levels
    // away or more, nothing below can pass it, so the subtree runs without a
    // depth entry per level (see Runner::try_at).
    bool small = false;
    // An And of a small subtree whose members are terminals once wrappers
    // are passed over: run in its parent's loop, without a call of its own.
    bool flat = false;
    uint16_t height = 0;  // combinator levels from this node down, itself included
    // Inside a small subtree, where no level counts: the node that decides
    // in try mode (past Group, Suppress and Combine, which give their child's
    // outcome unchanged) and in parse mode (past Group).
    uint32_t try_id = 0, parse_id = 0;
    // Literal and Keyword of 2 to 8 bytes: their bytes as one word (first
    // byte lowest) and how many, for a compare of one load where 8 bytes of
    // the text remain.
    uint8_t word_len = 0;
    // ZeroOrMore, OneOrMore, Exactly of a fixed-width item (run_memory.hpp):
    // in try mode the repetition is the run of its matches.
    bool item_run = false;
    uint64_t word = 0, word_mask = 0;
    uint32_t a = 0;    // And, MatchFirst: the first of its kids; one-child kinds: the child's node
    uint32_t b = 0;    // And, MatchFirst: the number of kids
    const ElementHeader* rec = nullptr;
    const ElementVTable* vt = nullptr;
};

}  // namespace

struct Program {
    std::vector<Node> nodes;  // nodes[0] is the record the program was made for
    std::vector<uint32_t> kids;
    // Each kid's try_id: the node that decides it in try mode inside a small
    // subtree, so that a choice tries its alternatives without a step more.
    std::vector<uint32_t> kids_try;
};

namespace {

template <class R>
const R& rec_as(const Node& n) {
    return *static_cast<const R*>(n.rec);
}

// ---------------------------------------------------------------------------
// Compiling

Op op_of(const ElementHeader* rec, const ElementVTable* v) {
    if (v == literal_vtable()) return static_cast<const LiteralElement*>(rec)->text.size() == 1 ? Op::Literal1 : Op::Literal;
    if (v == word_vtable()) {
        const auto* w = static_cast<const WordElement*>(rec);
        return !w->high_members && w->max_len == 0 ? Op::WordAscii : Op::Word;
    }
    if (v == regex_vtable()) return Op::Regex;
    if (v == keyword_vtable()) return Op::Keyword;
    if (v == char_vtable()) return Op::Char;
    if (v == caseless_literal_vtable()) return Op::CaselessLiteral;
    if (v == caseless_keyword_vtable()) return Op::CaselessKeyword;
    if (v == quoted_string_vtable()) return Op::QuotedString;
    if (v == empty_vtable()) return Op::Empty;
    if (v == no_match_vtable()) return Op::NoMatch;
    if (v == line_start_vtable()) return Op::LineStart;
    if (v == line_end_vtable()) return Op::LineEnd;
    if (v == string_start_vtable()) return Op::StringStart;
    if (v == string_end_vtable()) return Op::StringEnd;
    if (v == rest_of_line_vtable()) return Op::RestOfLine;
    if (v == and_vtable()) return Op::And;
    if (v == match_first_vtable()) return Op::MatchFirst;
    if (v == zero_or_more_vtable()) return Op::ZeroOrMore;
    if (v == one_or_more_vtable()) return Op::OneOrMore;
    if (v == optional_vtable()) return Op::Optional;
    if (v == exactly_vtable()) return Op::Exactly;
    if (v == group_vtable()) return Op::Group;
    if (v == suppress_vtable()) return Op::Suppress;
    if (v == combine_vtable()) return Op::Combine;
    if (v == forward_vtable()) return Op::Forward;
    if (v == skip_to_vtable()) return Op::SkipTo;
    return Op::Other;
}

// The children of a node, as node numbers.
template <class F>
void for_each_child(const Program& p, const Node& n, F&& f) {
    switch (n.op) {
        case Op::And:
        case Op::MatchFirst:
            for (uint32_t i = 0; i < n.b; ++i) f(p.kids[n.a + i]);
            break;
        case Op::ZeroOrMore:
        case Op::OneOrMore:
        case Op::Optional:
        case Op::Exactly:
        case Op::Group:
        case Op::Suppress:
        case Op::Combine:
        case Op::SkipTo:
            f(n.a);
            break;
        default:
            break;
    }
}

// Sets `height` and `small` of every combinator, children before parents,
// without recursion (the nodes form a graph without cycles: a cycle goes
// through a Forward, whose target is not part of the program).
void mark_small_subtrees(Program& p) {
    const size_t n = p.nodes.size();
    std::vector<uint32_t> size(n, 0);  // tree size, capped past kSmallSubtree
    std::vector<uint8_t> state(n, 0);  // 0 new, 1 on the stack, 2 done
    std::vector<uint32_t> stack;
    for (uint32_t root = 0; root < n; ++root) {
        if (state[root]) continue;
        stack.push_back(root);
        while (!stack.empty()) {
            uint32_t id = stack.back();
            Node& node = p.nodes[id];
            if (state[id] == 0) {
                state[id] = 1;
                for_each_child(p, node, [&](uint32_t c) {
                    if (state[c] == 0) stack.push_back(c);
                });
                continue;
            }
            stack.pop_back();
            if (state[id] == 2) continue;
            state[id] = 2;
            // Children are done: a wrapper decides as the node its child
            // decides by.
            node.try_id = node.parse_id = id;
            if (node.op == Op::Group || node.op == Op::Suppress || node.op == Op::Combine)
                node.try_id = p.nodes[node.a].try_id;
            if (node.op == Op::Group) node.parse_id = p.nodes[node.a].parse_id;
            if (node.op < kFirstCombinator) {
                size[id] = 1;
                node.small = node.op != Op::Other;
                continue;
            }
            if (node.op == Op::Forward) {
                size[id] = kSmallSubtree + 1;
                continue;
            }
            uint64_t total = 1;
            uint32_t height = 0;
            bool small = true;
            for_each_child(p, node, [&](uint32_t c) {
                total += size[c];
                const Node& k = p.nodes[c];
                small = small && k.small;
                if (k.height > height) height = k.height;
            });
            size[id] = total > kSmallSubtree ? kSmallSubtree + 1 : static_cast<uint32_t>(total);
            node.height = static_cast<uint16_t>(height + 1 > 0xFFFF ? 0xFFFF : height + 1);
            node.small = small && total <= kSmallSubtree && height + 1 <= kSmallHeight;
        }
    }
    auto terminal = [&](uint32_t id) { return p.nodes[id].op < kFirstCombinator; };
    for (uint32_t id = 0; id < n; ++id) {
        Node& node = p.nodes[id];
        if (node.op != Op::And || !node.small) continue;
        bool flat = true;
        for (uint32_t i = 0; i < node.b && flat; ++i) {
            const Node& k = p.nodes[p.kids[node.a + i]];
            const Node& pk = p.nodes[k.parse_id];
            flat = terminal(k.try_id) &&
                   (terminal(k.parse_id) || (pk.op == Op::Suppress && terminal(pk.try_id)));
        }
        node.flat = flat;
    }
}

// Compiles the records reachable from the root, each once (a record shared
// by several parents is one node), without recursion: a grammar may nest a
// hundred thousand wrappers.
std::unique_ptr<Program> compile(const ElementHeader* root, const ElementVTable* root_vt) {
    auto prog = std::make_unique<Program>();
    std::unordered_map<const ElementHeader*, uint32_t> ids;
    std::vector<uint32_t> work;
    auto id_of = [&](const ElementHeader* rec, const ElementVTable* v) -> uint32_t {
        auto [it, fresh] = ids.try_emplace(rec, static_cast<uint32_t>(prog->nodes.size()));
        if (fresh) {
            if (prog->nodes.size() >= UINT32_MAX) throw std::bad_alloc();
            Node n;
            n.rec = rec;
            n.vt = v;
            n.op = op_of(rec, v);
            if (n.op == Op::Literal1) n.byte = static_cast<const LiteralElement*>(rec)->first_byte;
            if (n.op == Op::Literal || n.op == Op::Keyword) {
                std::string_view bytes = n.op == Op::Literal ? static_cast<const LiteralElement*>(rec)->text.view()
                                                             : static_cast<const KeywordElement*>(rec)->text.view();
                if (bytes.size() >= 2 && bytes.size() <= 8) {
                    n.word_len = static_cast<uint8_t>(bytes.size());
                    std::memcpy(&n.word, bytes.data(), bytes.size());
                    // The word's bytes within a load of 8, read from memory
                    // as the text is: the low ones on a little-endian machine.
                    const unsigned char ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
                    std::memcpy(&n.word_mask, ones, bytes.size());
                }
            }
            prog->nodes.push_back(n);
            work.push_back(it->second);
        }
        return it->second;
    };
    auto kids_of = [&](Node& n, const std::vector<SharedElement>& exprs) {
        n.a = static_cast<uint32_t>(prog->kids.size());
        n.b = static_cast<uint32_t>(exprs.size());
        prog->kids.resize(prog->kids.size() + exprs.size());
        for (size_t i = 0; i < exprs.size(); ++i) {
            uint32_t k = id_of(exprs[i].record(), exprs[i].vtable());
            prog->kids[n.a + i] = k;
        }
    };
    id_of(root, root_vt);
    while (!work.empty()) {
        uint32_t id = work.back();
        work.pop_back();
        Node n = prog->nodes[id];  // a copy: adding nodes moves the vector
        switch (n.op) {
            case Op::And:
                kids_of(n, rec_as<AndElement>(n).exprs);
                break;
            case Op::MatchFirst:
                kids_of(n, rec_as<MatchFirstElement>(n).exprs);
                break;
            case Op::ZeroOrMore:
            case Op::OneOrMore:
            case Op::Optional:
            case Op::Exactly:
            case Op::Group:
            case Op::Suppress:
            case Op::Combine:
            case Op::SkipTo: {
                const SharedElement& c = rec_as<OneChildElement>(n).expr;
                n.a = id_of(c.record(), c.vtable());
                break;
            }
            default:
                break;  // terminals, Forward (its target is read when it runs), Other
        }
        prog->nodes[id] = n;
    }
    mark_small_subtrees(*prog);
    for (Node& n : prog->nodes) {
        if (n.op != Op::ZeroOrMore && n.op != Op::OneOrMore && n.op != Op::Exactly) continue;
        const Node& c = prog->nodes[n.a];
        n.item_run = static_cast<bool>(run_item(c.rec, c.vt));
    }
    prog->kids_try.resize(prog->kids.size());
    for (size_t i = 0; i < prog->kids.size(); ++i) prog->kids_try[i] = prog->nodes[prog->kids[i]].try_id;
    return prog;
}

// ---------------------------------------------------------------------------
// Running

// One program on one text. Every combinator node does what its kind does in
// structure.cpp (and forward.cpp), in the same order, entering a MatchDepth
// and consulting the memo at the same places.
class Runner {
  public:
    Runner(const Program& p, Text t)
        : nodes_(p.nodes.data()), kids_(p.kids.data()), kids_try_(p.kids_try.data()), t_(t) {}

    TryMatchOutcome try_at(uint32_t id, Pos pos) { return child_try<false>(id, pos); }

    // The root run as a small subtree, its fit already checked; the calls
    // are left in `calls`.
    TryMatchOutcome try_root_small(Pos pos, uint64_t& calls) {
        TryMatchOutcome o = root_body(pos);
        calls += small_calls_;
        small_calls_ = 0;
        return o;
    }
    static bool root_fits(const Program& p) {
        const Node& n = p.nodes[0];
        return n.small && small_fits(n);
    }
    bool parse_at(uint32_t id, Pos pos, Into& in) { return child_parse<false>(id, pos, in); }

    // The root of a program: a small one runs without depth entries (and
    // without a call where it is a wrapper over a terminal or a flat And).
    TryMatchOutcome try_root(Pos pos) {
        const Node& n = nodes_[0];
        if (n.small && small_fits(n)) {
            TryMatchOutcome o = root_body(pos);
            account_small(n);
            return o;
        }
        return child_try<false>(0, pos);
    }
    bool parse_root(Pos pos, Into& in) {
        const Node& n = nodes_[0];
        if (n.small && small_fits(n)) {
            bool ok = child_parse<true>(0, pos, in);
            account_small(n);
            return ok;
        }
        return child_parse<false>(0, pos, in);
    }

    // The members of the And at the root, in turn, at the present depth (the
    // sequence enters no level of its own): each is tried as its own record's
    // program tries it, and its end goes to `ends` when that is given.
    TryMatchOutcome member_ends(Pos pos, Pos* ends) {
        const Node& n = nodes_[0];
        Pos current = pos;
        for (uint32_t i = 0; i < n.b; ++i) {
            const Node& m = nodes_[kid(n, i)];
            TryMatchOutcome o;
            if (m.op < kFirstCombinator) {
                o = terminal_try(m, current);
            } else if (m.small && small_fits(m)) {
                o = decided_try(nodes_[m.try_id], current);  // as a small root runs
                account_small(m);
            } else {
                o = try_combinator(m, current);
            }
            if (!o.matched) return o;
            current = o.end;
            if (ends) ends[i] = current;
        }
        return TryMatchOutcome::yes(current);
    }

  private:
    // A small root's deciding node tried here, not by a call (try_small): a
    // scan asks the root at every candidate position.
    QGX_HOT_INLINE TryMatchOutcome root_body(Pos pos) {
        const Node& m = nodes_[nodes_[0].try_id];
        if (m.op < kFirstCombinator) return terminal_try(m, pos);
        if (m.flat) return try_flat(m, pos);
        if (m.op == Op::Exactly && rec_as<ExactlyElement>(m).count == 0) return TryMatchOutcome::yes(pos);
        ++small_calls_;
        return try_body<true>(m, pos);
    }
    // Inside a small subtree: the node that decides (a try_id) tried.
    QGX_HOT_INLINE TryMatchOutcome decided_try(const Node& n, Pos pos) {
        if (n.op < kFirstCombinator) return terminal_try(n, pos);
        if (n.flat) return try_flat(n, pos);
        return try_small(n, pos);
    }
    // Kid i of `n` in try mode.
    template <bool S>
    QGX_HOT_INLINE TryMatchOutcome kid_try(const Node& n, uint32_t i, Pos pos) {
        if constexpr (S) return decided_try(nodes_[kids_try_[n.a + i]], pos);
        return child_try<S>(kid(n, i), pos);
    }
    // A node: a terminal is tested here, a combinator by a call. `S`: inside
    // a small subtree run without depth entries.
    template <bool S>
    QGX_HOT_INLINE TryMatchOutcome child_try(uint32_t id, Pos pos) {
        if constexpr (S) {
            return decided_try(nodes_[nodes_[id].try_id], pos);
        } else {
            const Node& n = nodes_[id];
            if (n.op < kFirstCombinator) return terminal_try(n, pos);
            return try_combinator(n, pos);
        }
    }
    template <bool S>
    QGX_HOT_INLINE bool child_parse(uint32_t id, Pos pos, Into& in) {
        if constexpr (S) {
            const Node& n = nodes_[nodes_[id].parse_id];
            if (n.op < kFirstCombinator) return terminal_parse(n, pos, in);
            if (n.op == Op::Suppress) {
                ++small_calls_;
                TryMatchOutcome m = child_try<true>(n.a, pos);
                if (!m.matched) return in.failed(msg::kSuppressNoMatch, pos);
                return in.done(m.end);
            }
            if (n.flat) return parse_flat(n, pos, in);
            return parse_small(n, pos, in);
        } else {
            const Node& n = nodes_[id];
            if (n.op < kFirstCombinator) return terminal_parse(n, pos, in);
            return parse_combinator(n, pos, in);
        }
    }

    // A flat And: its members' terminals in turn, in the loop of the caller.
    QGX_HOT_INLINE TryMatchOutcome try_flat(const Node& n, Pos pos) {
        ++small_calls_;
        Pos current = pos;
        for (uint32_t i = 0; i < n.b; ++i) {
            TryMatchOutcome o = terminal_try(nodes_[nodes_[kid(n, i)].try_id], current);
            if (!o.matched) return o;
            current = o.end;
        }
        return TryMatchOutcome::yes(current);
    }
    QGX_HOT_INLINE bool parse_flat(const Node& n, Pos pos, Into& in) {
        ++small_calls_;
        const uint32_t mark = in.out.size();
        Pos current = pos;
        for (uint32_t i = 0; i < n.b; ++i) {
            const Node& k = nodes_[nodes_[kid(n, i)].parse_id];
            bool ok;
            if (k.op == Op::Suppress) {
                TryMatchOutcome m = terminal_try(nodes_[k.try_id], current);
                ok = m.matched ? in.done(m.end) : in.failed(msg::kSuppressNoMatch, current);
            } else {
                ok = terminal_parse(k, current, in);
            }
            if (!ok) {
                in.out.truncate(mark);
                return false;
            }
            current = in.end;
        }
        return in.done(current);
    }
    // Whether a depth entry could be passed inside a small subtree: never,
    // since the flag is clear, so a small subtree reads it as clear.
    template <bool S>
    static bool aborting() {
        if constexpr (S) return false;
        return depth_aborting();
    }

    // A choice's first-byte table, as its kind takes it at the present depth;
    // inside a small subtree no level it passes over can reach the bound.
    template <bool S>
    static const AlternativeDispatch* table(const MatchFirstElement& r) {
        if constexpr (S) return r.dispatch();
        return match_first_table_here(r);
    }

  public:
    // Whether the small subtree at `n` can run without depth entries here:
    // the match is not being abandoned, its levels all fit below the bound,
    // and the stack has room for them beyond the margin the entries keep.
    static bool small_fits(const Node& n) {
        MatchDepthState& s = tls_match_depth;
        if (s.aborting || s.depth + n.height > kMaxMatchDepth) return false;
        if (s.stack_high == 0) find_stack_bounds(s);
        uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        return !(sp >= s.stack_low && sp < s.stack_floor + n.height * kSmallLevelStack);
    }
  private:
    // What a small subtree's run leaves in the depth state: its calls, and
    // (an upper bound of) the deepest level it reached.
    void account_small(const Node& n) {
        MatchDepthState& s = tls_match_depth;
        s.calls += small_calls_;
        small_calls_ = 0;
        uint32_t reached = s.depth + n.height;
        if (reached > s.peak) s.peak = reached;
    }

    [[gnu::noinline]] TryMatchOutcome try_small(const Node& n, Pos pos) {
        if (n.op == Op::Exactly && rec_as<ExactlyElement>(n).count == 0) return TryMatchOutcome::yes(pos);
        ++small_calls_;
        return try_body<true>(n, pos);
    }
    [[gnu::noinline]] bool parse_small(const Node& n, Pos pos, Into& in) {
        if (n.op == Op::Exactly && rec_as<ExactlyElement>(n).count == 0) return in.done(pos);
        ++small_calls_;
        return parse_body<true>(n, pos, in);
    }

    // The combinator at a node, one call per level.
    [[gnu::noinline]] TryMatchOutcome try_combinator(const Node& n, Pos pos) {
        if (n.small && small_fits(n)) {
            TryMatchOutcome o = try_small(n, pos);
            account_small(n);
            return o;
        }
        if (n.op == Op::Exactly && rec_as<ExactlyElement>(n).count == 0) return TryMatchOutcome::yes(pos);
        if (n.op == Op::SkipTo) return n.vt->try_match_at(n.rec, t_, pos);
        MatchDepth depth;
        if (!depth.ok()) return TryMatchOutcome::no();
        if (depth.memo_on()) [[unlikely]]
            return try_remembered(n, pos);
        return try_body<false>(n, pos);
    }
    [[gnu::noinline]] bool parse_combinator(const Node& n, Pos pos, Into& in) {
        if (n.small && small_fits(n)) {
            bool ok = parse_small(n, pos, in);
            account_small(n);
            return ok;
        }
        if (n.op == Op::Exactly && rec_as<ExactlyElement>(n).count == 0) return in.done(pos);
        if (n.op == Op::SkipTo) return table_parse(n.rec, n.vt, pos, in);
        MatchDepth depth;
        if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
        if (depth.memo_on()) [[unlikely]]
            return parse_remembered(n, pos, in);
        return parse_body<false>(n, pos, in);
    }

    QGX_HOT_INLINE TryMatchOutcome terminal_try(const Node& n, Pos pos) {
        const Text t = t_;
        switch (n.op) {
            case Op::Literal1:
                return pos < t.len && t.at(pos) == n.byte ? TryMatchOutcome::yes(pos + 1) : TryMatchOutcome::no();
            case Op::Literal:
                if (n.word_len && pos <= t.len && t.len - pos >= 8) {
                    return word_matches(n, t, pos) ? TryMatchOutcome::yes(pos + n.word_len) : TryMatchOutcome::no();
                }
                return literal_try_match_at(rec_as<LiteralElement>(n), t, pos);
            case Op::Keyword:
                if (n.word_len && pos <= t.len && t.len - pos >= 8) {
                    const Pos end = pos + n.word_len;
                    if (!word_matches(n, t, pos) ||
                        (end < t.len && rec_as<KeywordElement>(n).identifier_chars.has(t.at(end))))
                        return TryMatchOutcome::no();
                    return TryMatchOutcome::yes(end);
                }
                return keyword_try_match_at(rec_as<KeywordElement>(n), t, pos);
            case Op::CaselessLiteral:
                return caseless_literal_try_match_at(rec_as<CaselessLiteralElement>(n), t, pos);
            case Op::CaselessKeyword:
                return caseless_keyword_try_match_at(rec_as<CaselessKeywordElement>(n), t, pos);
            case Op::Char:
                return char_try_match_at(rec_as<CharElement>(n), t, pos);
            case Op::WordAscii:
            case Op::Word:
                return word_try_match_at(rec_as<WordElement>(n), t, pos);
            case Op::Regex:
                return regex_try_match_at(rec_as<RegexElement>(n), t, pos);
            case Op::QuotedString:
                return quoted_string_try_match_at(rec_as<QuotedStringElement>(n), t, pos);
            case Op::Empty:
                return TryMatchOutcome::yes(pos);
            case Op::NoMatch:
                return TryMatchOutcome::no();
            case Op::LineStart:
                return line_start_try_match_at(rec_as<LineStartElement>(n), t, pos);
            case Op::LineEnd:
                return line_end_try_match_at(rec_as<LineEndElement>(n), t, pos);
            case Op::StringStart:
                return string_start_try_match_at(rec_as<StringStartElement>(n), t, pos);
            case Op::StringEnd:
                return string_end_try_match_at(rec_as<StringEndElement>(n), t, pos);
            case Op::RestOfLine:
                return rest_of_line_try_match_at(rec_as<RestOfLineElement>(n), t, pos);
            default:
                return n.vt->try_match_at(n.rec, t, pos);
        }
    }

    QGX_HOT_INLINE static bool word_matches(const Node& n, Text t, Pos pos) {
        uint64_t w;
        std::memcpy(&w, t.data + pos, 8);
        return ((w ^ n.word) & n.word_mask) == 0;
    }

    // The kinds whose parse_at hands out their prebuilt token (a view: the
    // record outlives the operation) and their stored message.
    template <class R>
    bool prebuilt(const R& r, TryMatchOutcome m, Pos pos, Into& in) {
        if (!m.matched) return in.failed_stored(r.message, pos);
        if constexpr (std::is_same_v<R, LiteralElement> || std::is_same_v<R, KeywordElement>) {
            // The text as built is the bytes just matched.
            in.out.push_span(pos, m.end - pos);
            return in.done(m.end);
        }
        if (r.tokens.size() == 1) {
            in.out.push(SharedText::view(r.tokens[0].data(), r.tokens[0].size()));
        } else {
            for (const SharedText& s : r.tokens) in.out.push(s);
        }
        return in.done(m.end);
    }

    // Any kind through its table; its tokens are shared into the buffer.
    bool table_parse(const ElementHeader* rec, const ElementVTable* vt, Pos pos, Into& in) {
        ParseOutcome o = vt->parse_at(rec, t_, pos);
        if (!o.ok) {
            in.fail = std::move(o.failure);
            return false;
        }
        for (const SharedText& s : o.tokens) in.out.push(s);
        return in.done(o.end);
    }

    QGX_HOT_INLINE bool terminal_parse(const Node& n, Pos pos, Into& in) {
        const Text t = t_;
        switch (n.op) {
            case Op::Literal1:
            case Op::Literal:
                return prebuilt(rec_as<LiteralElement>(n), terminal_try(n, pos), pos, in);
            case Op::Keyword:
                return prebuilt(rec_as<KeywordElement>(n), terminal_try(n, pos), pos, in);
            case Op::CaselessLiteral:
                return prebuilt(rec_as<CaselessLiteralElement>(n), terminal_try(n, pos), pos, in);
            case Op::CaselessKeyword:
                return prebuilt(rec_as<CaselessKeywordElement>(n), terminal_try(n, pos), pos, in);
            case Op::Char: {
                const auto& r = rec_as<CharElement>(n);
                if (!char_try_match_at(r, t, pos).matched) return in.failed_stored(r.message, pos);
                CharSpan s = char_text_span(t, pos);
                in.out.push_span(s.start, s.end - s.start);
                return in.done(pos + 1);
            }
            case Op::WordAscii: {
                // Every member is ASCII: a run of member bytes begins and ends
                // on character boundaries, and the byte run is the word.
                const auto& r = rec_as<WordElement>(n);
                Pos end = word_run_end(r, t, pos);
                if (end == pos || (r.min_len != 0 && end - pos < r.min_len)) return in.failed_stored(r.message, pos);
                in.out.push_span(pos, end - pos);
                return in.done(end);
            }
            case Op::Regex: {
                const auto& r = rec_as<RegexElement>(n);
                TryMatchOutcome m = regex_try_match_at(r, t, pos);
                if (!m.matched) return in.failed_stored(r.message, pos);
                in.out.push_span(pos, m.end - pos);
                return in.done(m.end);
            }
            case Op::Empty:
                return in.done(pos);
            default:
                return table_parse(n.rec, n.vt, pos, in);
        }
    }

    // A Forward's target, which belongs to no program of its own record.
    TryMatchOutcome try_target(const SharedElement& e, Pos pos) {
        if (const CompositeHeader* c = composite_of(e))
            if (const Program* q = program_for(*c, e.vtable())) return Runner(*q, t_).try_root(pos);
        return e.try_match_at(t_, pos);
    }
    bool parse_target(const SharedElement& e, Pos pos, Into& in) {
        if (const CompositeHeader* c = composite_of(e))
            if (const Program* q = program_for(*c, e.vtable())) return Runner(*q, t_).parse_root(pos, in);
        return table_parse(e.record(), e.vtable(), pos, in);
    }

    uint32_t kid(const Node& n, uint32_t i) const { return kids_[n.a + i]; }

    // Each step of a repetition is a step of a long loop: the check for
    // signals, whose interruption fails the repetition (inside a small
    // subtree too, where the abandon flag is not read).
    template <bool S>
    TryMatchOutcome repeat_try(uint32_t child, Pos current) {
        WorkTicks ticks;
        for (;;) {
            if (ticks.step()) [[unlikely]]
                return TryMatchOutcome::no();
            TryMatchOutcome m = child_try<S>(child, current);
            if (!m.matched) return aborting<S>() ? m : TryMatchOutcome::yes(current);
            if (m.end == current) return m;
            current = m.end;
        }
    }

    // A repetition of a fixed-width item (item_run) from `from`, as
    // repeat_try gives it: the run read once per operation.
    Pos repeated_end(const Node& n, Pos from, Pos limit) {
        const Node& c = nodes_[n.a];
        return item_run_end(run_item(c.rec, c.vt), t_, from, limit);
    }
    template <bool S>
    TryMatchOutcome item_run_try(const Node& n, Pos from) {
        const Pos end = repeated_end(n, from, t_.len);
        return aborting<S>() ? TryMatchOutcome::no() : TryMatchOutcome::yes(end);
    }

    template <bool S>
    QGX_HOT_INLINE TryMatchOutcome try_body(const Node& n, Pos pos) {
        switch (n.op) {
            case Op::Forward: {
                const auto& f = rec_as<ForwardElement>(n);
                ReadGuard g(f.lock);
                if (!f.expr) return TryMatchOutcome::no();
                return forward_try_through(f, t_, pos, [&] { return try_target(f.expr, pos); });
            }
            case Op::And: {
                Pos current = pos;
                for (uint32_t i = 0; i < n.b; ++i) {
                    TryMatchOutcome o = kid_try<S>(n, i, current);
                    if (!o.matched) return o;
                    current = o.end;
                }
                return TryMatchOutcome::yes(current);
            }
            case Op::MatchFirst: {
                const auto& r = rec_as<MatchFirstElement>(n);
                if (const AlternativeDispatch* d = table<S>(r)) {
                    unsigned b = pos < t_.len ? t_.at(pos) : 256u;
                    for (uint32_t k = d->start[b]; k < d->start[b + 1]; ++k) {
                        TryMatchOutcome o = kid_try<S>(n, d->items[k], pos);
                        if (o.matched || aborting<S>()) return o;
                    }
                    return TryMatchOutcome::no();
                }
                for (uint32_t i = 0; i < n.b; ++i) {
                    TryMatchOutcome o = kid_try<S>(n, i, pos);
                    if (o.matched || aborting<S>()) return o;
                }
                return TryMatchOutcome::no();
            }
            case Op::ZeroOrMore:
                if (n.item_run) return item_run_try<S>(n, pos);
                return repeat_try<S>(n.a, pos);
            case Op::OneOrMore: {
                TryMatchOutcome first = child_try<S>(n.a, pos);
                if (!first.matched) return first;
                if (n.item_run) return item_run_try<S>(n, first.end);
                return repeat_try<S>(n.a, first.end);
            }
            case Op::Optional: {
                TryMatchOutcome o = child_try<S>(n.a, pos);
                if (o.matched) return o;
                return aborting<S>() ? o : TryMatchOutcome::yes(pos);
            }
            case Op::Exactly: {
                Pos current = pos;
                const uint32_t count = rec_as<ExactlyElement>(n).count;
                if (n.item_run) {
                    const Node& c = nodes_[n.a];
                    const RunItem item = run_item(c.rec, c.vt);
                    const uint64_t span = uint64_t{count} * item.width;
                    if (pos > t_.len || t_.len - pos < span) return TryMatchOutcome::no();
                    const Pos limit = pos + static_cast<Pos>(span);
                    return item_run_end(item, t_, pos, limit) == limit ? TryMatchOutcome::yes(limit) : TryMatchOutcome::no();
                }
                for (uint32_t i = 0; i < count; ++i) {
                    if (work_tick()) [[unlikely]]
                        return TryMatchOutcome::no();
                    TryMatchOutcome o = child_try<S>(n.a, current);
                    if (!o.matched || o.end == current) return TryMatchOutcome::no();
                    current = o.end;
                }
                return TryMatchOutcome::yes(current);
            }
            case Op::SkipTo: {
                // Reached only inside a small subtree (see try_combinator).
                Pos found = 0;
                if (!skip_search(n, pos, found)) return TryMatchOutcome::no();
                return TryMatchOutcome::yes(found);
            }
            default:  // Group, Suppress, Combine: the child's outcome unchanged
                return child_try<S>(n.a, pos);
        }
    }

    // A SkipTo's search inside a small subtree, its target tested here.
    bool skip_search(const Node& n, Pos pos, Pos& found) {
        struct Test {
            Runner* self;
            uint32_t target;
            static TryMatchOutcome at(void* c, Pos q) {
                Test& t = *static_cast<Test*>(c);
                return t.self->child_try<true>(t.target, q);
            }
        } test{this, n.a};
        return skip_to_search_fitting(rec_as<SkipToElement>(n), t_, pos, found, nodes_[n.a].height, &Test::at,
                                      &test);
    }

    // Past the text's budget: the outcome through the memo. A Forward holds
    // its lock over the lookup, as its kind does.
    [[gnu::noinline]] TryMatchOutcome try_remembered(const Node& n, Pos pos) {
        if (n.op == Op::Forward) {
            const auto& f = rec_as<ForwardElement>(n);
            ReadGuard g(f.lock);
            if (!f.expr) return TryMatchOutcome::no();
            return memo_try(n.rec, t_, pos,
                            [&] { return forward_try_through(f, t_, pos, [&] { return try_target(f.expr, pos); }); });
        }
        return memo_try(n.rec, t_, pos, [&] { return try_body<false>(n, pos); });
    }

    // The repetition loop of ZeroOrMore and OneOrMore.
    struct Repeated {
        Pos end;
        bool any;
        bool stopped;  // interrupted
    };
    template <bool S>
    Repeated repeat_parse(uint32_t child, Pos pos, Into& in) {
        Pos current = pos;
        bool any = false;
        WorkTicks ticks;
        for (;;) {
            if (ticks.step()) [[unlikely]]
                return {current, any, true};
            const uint32_t mark = in.out.size();
            if (!child_parse<S>(child, current, in)) break;
            if (in.end == current) {  // a zero-width success ends it, its tokens dropped
                in.out.truncate(mark);
                break;
            }
            current = in.end;
            any = true;
        }
        return {current, any, false};
    }

    template <bool S>
    QGX_HOT_INLINE bool parse_body(const Node& n, Pos pos, Into& in) {
        switch (n.op) {
            case Op::Suppress: {
                // The child's outcome comes from its try_match_at, which remembers its own.
                TryMatchOutcome m = child_try<S>(n.a, pos);
                if (!m.matched) return in.failed(msg::kSuppressNoMatch, pos);
                return in.done(m.end);
            }
            case Op::Forward: {
                const auto& f = rec_as<ForwardElement>(n);
                ReadGuard g(f.lock);
                if (!f.expr) return in.failed(msg::kForwardNotInitialized, pos);
                return parse_target(f.expr, pos, in);
            }
            case Op::And: {
                const uint32_t mark = in.out.size();
                Pos current = pos;
                for (uint32_t i = 0; i < n.b; ++i) {
                    if (!child_parse<S>(kid(n, i), current, in)) {
                        in.out.truncate(mark);
                        return false;
                    }
                    current = in.end;
                }
                return in.done(current);
            }
            case Op::MatchFirst: {
                if (n.b == 0) return in.failed(msg::kNoMatchFound, pos);
                const auto& r = rec_as<MatchFirstElement>(n);
                const uint32_t last_index = n.b - 1;
                if (const AlternativeDispatch* d = table<S>(r)) {
                    unsigned b = pos < t_.len ? t_.at(pos) : 256u;
                    if (d->one_byte_literals) {
                        if (d->start[b] < d->start[b + 1]) {
                            in.out.push_span(pos, 1);  // the literal's one byte, as built
                            return in.done(pos + 1);
                        }
                        return in.failed_stored(rec_as<LiteralElement>(nodes_[kid(n, last_index)]).message, pos);
                    }
                    for (uint32_t k = d->start[b]; k < d->start[b + 1]; ++k) {
                        uint32_t i = d->items[k];
                        if (child_parse<S>(kid(n, i), pos, in)) return true;
                        if (aborting<S>() || i == last_index) return false;
                    }
                    return child_parse<S>(kid(n, last_index), pos, in);
                }
                for (uint32_t i = 0; i < n.b; ++i) {
                    // A failure overwrites the one before: the last alternative's stays.
                    if (child_parse<S>(kid(n, i), pos, in)) return true;
                    if (aborting<S>()) return false;
                }
                return false;
            }
            case Op::ZeroOrMore:
            case Op::OneOrMore: {
                const uint32_t mark = in.out.size();
                Repeated rep = repeat_parse<S>(n.a, pos, in);
                if (aborting<S>() || rep.stopped) [[unlikely]] {
                    in.out.truncate(mark);
                    return in.failed(msg::kRecursionLimitFailure, pos);
                }
                if (n.op == Op::OneOrMore && !rep.any) return in.failed(msg::kExpectedAtLeastOne, pos);
                return in.done(rep.end);
            }
            case Op::Optional:
                if (child_parse<S>(n.a, pos, in)) return true;
                if (aborting<S>()) return false;  // the child's failure
                return in.done(pos);
            case Op::Exactly: {
                const uint32_t mark = in.out.size();
                const uint32_t count = rec_as<ExactlyElement>(n).count;
                Pos current = pos;
                for (uint32_t i = 0; i < count; ++i) {
                    if (work_tick() || !child_parse<S>(n.a, current, in)) {
                        in.out.truncate(mark);
                        return false;
                    }
                    if (in.end == current) {
                        in.out.truncate(mark);
                        return in.failed(msg::kNoProgressExactly, current);
                    }
                    current = in.end;
                }
                return in.done(current);
            }
            case Op::Combine: {
                const uint32_t mark = in.out.size();
                if (!child_parse<S>(n.a, pos, in)) return false;
                in.out.truncate(mark);  // the child's tokens give way to the one joined text
                in.out.push(cut_token(t_, pos, in.end));
                return true;
            }
            case Op::SkipTo: {
                Pos found = 0;
                if (!skip_search(n, pos, found)) return in.failed(msg::kSkipToNotFound, pos);
                in.out.push(cut_token(t_, pos, found));
                return in.done(found);
            }
            default:  // Group
                return child_parse<S>(n.a, pos, in);
        }
    }

    // Past the text's budget: the outcome through the memo. MatchFirst
    // without alternatives and Suppress make their outcome without one (their
    // kinds do not remember theirs), and a Forward holds its lock over the
    // lookup, as its kind does.
    [[gnu::noinline]] bool parse_remembered(const Node& n, Pos pos, Into& in) {
        switch (n.op) {
            case Op::MatchFirst:
                if (n.b == 0) return in.failed(msg::kNoMatchFound, pos);
                break;
            case Op::Suppress:
                return parse_body<false>(n, pos, in);
            case Op::Forward: {
                const auto& f = rec_as<ForwardElement>(n);
                ReadGuard g(f.lock);
                if (!f.expr) return in.failed(msg::kForwardNotInitialized, pos);
                return memo_into(n.rec, t_, pos, in, [&] { return parse_target(f.expr, pos, in); });
            }
            default:
                break;
        }
        return memo_into(n.rec, t_, pos, in, [&] { return parse_body<false>(n, pos, in); });
    }

    const Node* nodes_;
    const uint32_t* kids_;
    const uint32_t* kids_try_;
    Text t_;
    uint64_t small_calls_ = 0;
};

[[gnu::noinline]] const Program* build_program(const CompositeHeader& r, const ElementVTable* vt) noexcept {
    Program* made = nullptr;
    try {
        made = compile(&r, vt).release();
    } catch (...) {
        made = nullptr;  // without a program the kind's own algorithm runs
    }
    uintptr_t value = made ? reinterpret_cast<uintptr_t>(made) : CompositeHeader::kNoProgram;
    uintptr_t now = publish_derived(r, r.program, value);
    if (now == value) return made;
    delete made;  // another thread published first
    return now > CompositeHeader::kNoProgram ? reinterpret_cast<const Program*>(now) : nullptr;
}

}  // namespace

const Program* program_for_first_call(const CompositeHeader& r, const ElementVTable* vt) noexcept {
    if (tls_programs_off) return nullptr;
    uintptr_t s = r.program.load(std::memory_order_acquire);
    if (s > CompositeHeader::kNoProgram) return reinterpret_cast<const Program*>(s);
    if (s == CompositeHeader::kNoProgram) return nullptr;
    return build_program(r, vt);
}

bool program_parse(const Program& p, Text t, Pos pos, Into& in) { return Runner(p, t).parse_root(pos, in); }

TryMatchOutcome program_try(const Program& p, Text t, Pos pos) { return Runner(p, t).try_root(pos); }

TryMatchOutcome program_member_ends(const Program& p, Text t, Pos pos, Pos* ends) {
    return Runner(p, t).member_ends(pos, ends);
}

ProgramScan::ProgramScan(const Program& p, Text t) noexcept : program_(p), text_(t), small_(Runner::root_fits(p)) {}

ProgramScan::~ProgramScan() {
    MatchDepthState& s = tls_match_depth;
    s.calls += calls_;
    if (small_) {
        uint32_t reached = s.depth + program_.nodes[0].height;
        if (reached > s.peak) s.peak = reached;
    }
}

TryMatchOutcome ProgramScan::operator()(Text t, Pos pos) {
    if (small_ && t.data == text_.data) [[likely]] return Runner(program_, t).try_root_small(pos, calls_);
    return Runner(program_, t).try_root(pos);
}

void release_program(const Program* p) noexcept { delete p; }

size_t program_size(const Program& p) noexcept { return p.nodes.size(); }

CompositeHeader::~CompositeHeader() {
    uintptr_t s = program.load(std::memory_order_relaxed);
    if (s > kNoProgram) release_program(reinterpret_cast<const Program*>(s));
}

ProgramsOff::ProgramsOff() noexcept : saved_(tls_programs_off) { tls_programs_off = true; }
ProgramsOff::~ProgramsOff() { tls_programs_off = saved_; }

}  // namespace qgx
