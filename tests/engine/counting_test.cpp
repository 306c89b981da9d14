// The text period, the occurrence counts and the substring searcher, each
// checked against a plain scan.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "elements/counting.hpp"
#include "elements/literals.hpp"
#include "elements/substring_search.hpp"

using namespace qgx;

namespace {

// The counting scan of search_string_count over a kind's test.
template <class F>
uint64_t plain_counting_scan(Text t, F&& test) {
    uint64_t count = 0;
    Pos p = 0;
    while (p < t.len) {
        TryMatchOutcome m = test(t, p);
        if (m.matched) {
            ++count;
            p = m.end > p + 1 ? m.end : p + 1;
        } else {
            ++p;
        }
    }
    return count;
}

uint64_t plain_literal_count(const std::string& text, const std::string& needle) {
    Rc<LiteralElement> r = build_literal(needle);
    return plain_counting_scan(Text(text), [&](Text t, Pos p) { return literal_try_match_at(*r, t, p); });
}

uint64_t plain_keyword_count(const KeywordElement& k, const std::string& text) {
    return plain_counting_scan(Text(text), [&](Text t, Pos p) { return keyword_try_match_at(k, t, p); });
}

Pos brute_period(const std::string& t) {
    if (t.size() < 4) return 0;
    for (size_t p = 1; p <= 1024 && 2 * p <= t.size(); ++p) {
        bool ok = true;
        for (size_t i = 0; i + p < t.size() && ok; ++i) ok = t[i] == t[i + p];
        if (ok) return static_cast<Pos>(p);
    }
    return 0;
}

// A copy in a block of exactly its size, so that a read past the end is caught
// by the sanitizer build.
struct ExactCopy {
    std::unique_ptr<char[]> bytes;
    size_t n;
    explicit ExactCopy(const std::string& s) : bytes(new char[s.size() ? s.size() : 1]), n(s.size()) {
        std::memcpy(bytes.get(), s.data(), s.size());
    }
    Text text() const { return Text(bytes.get(), static_cast<Pos>(n)); }
};

// `s` repeated and cut to n bytes.
std::string repeat_to(const std::string& s, size_t n) {
    std::string out;
    while (out.size() < n) out += s;
    out.resize(n);
    return out;
}

// A block of n bytes whose shortest period is n itself.
std::string aperiodic_block(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string b(n, 'a');
    for (size_t i = 0; i + 1 < n; ++i) b[i] = static_cast<char>('a' + rng() % 3);
    b[n - 1] = 'z';  // the only 'z': no shorter period
    return b;
}

// ---------------------------------------------------------------------------
// find_text_period

struct PeriodCase {
    std::string text;
    Pos period;
};

TEST(FindTextPeriod, Examples) {
    const PeriodCase cases[] = {
        {"abababab", 2}, {"aaaa", 1},     {"abcabcab", 3}, {"ababcccc", 0}, {"", 0},       {"aaa", 0},
        {"abab", 2},     {"abcab", 0},    {"abcabc", 3},   {"aab", 0},      {"aabaab", 3}, {"abcdabcd", 4},
        {"xyzw", 0},     {"aaaab", 0},    {"baaaa", 0},    {"abaaba", 3},
    };
    for (const PeriodCase& c : cases) EXPECT_EQ(find_text_period(Text(c.text)), c.period) << c.text;
}

TEST(FindTextPeriod, LongestPeriodsAndCutLastBlock) {
    std::string b1024 = aperiodic_block(1024, 1);
    std::string b1025 = aperiodic_block(1025, 2);
    EXPECT_EQ(find_text_period(Text(repeat_to(b1024, 3000))), 1024u);
    EXPECT_EQ(find_text_period(Text(repeat_to(b1025, 3000))), 0u);
    EXPECT_EQ(find_text_period(Text(repeat_to(b1024, 2048))), 1024u);  // exactly two blocks
    EXPECT_EQ(find_text_period(Text(repeat_to(b1024, 2047))), 0u);     // less than two blocks
    std::string b7 = aperiodic_block(7, 3);
    for (size_t n = 14; n < 40; ++n) EXPECT_EQ(find_text_period(Text(repeat_to(b7, n))), 7u) << n;
}

// A text repeating a short block to almost its end: the period test fails
// late for every candidate, which must not cost one pass per candidate.
TEST(FindTextPeriod, BrokenAtTheEnd) {
    std::string t(1 << 22, 'a');
    t.back() = 'b';
    EXPECT_EQ(find_text_period(Text(t)), 0u);
    std::string u = repeat_to("ab", 1 << 22);
    u[u.size() - 3] = 'x';
    EXPECT_EQ(find_text_period(Text(u)), 0u);
}

TEST(FindTextPeriod, MatchesBruteForceOnRandomTexts) {
    std::mt19937 rng(11);
    for (int it = 0; it < 3000; ++it) {
        size_t p = 1 + rng() % 12;
        std::string block;
        for (size_t i = 0; i < p; ++i) block += static_cast<char>('a' + rng() % 2);
        std::string t = repeat_to(block, rng() % 60);
        if (!t.empty() && rng() % 4 == 0) t[rng() % t.size()] = 'c';
        ExactCopy c(t);
        EXPECT_EQ(find_text_period(c.text()), brute_period(t)) << t;
    }
}

// ---------------------------------------------------------------------------
// count_literal_occurrences

struct CountCase {
    std::string needle;
    std::string text;
    uint64_t count;
};

TEST(CountLiteralOccurrences, Examples) {
    const CountCase cases[] = {
        {"aa", "aaaa", 2},
        {"aa", "aaa", 1},
        {"ab", "ababcccccccc", 2},
        {"aa", repeat_to("acbcaa", 29), 4},
        {"ab", repeat_to("ab", 1000), 500},
        {"ab", repeat_to("ab", 1000) + "a", 500},
        {"abcdef", "abc", 0},
        {"a", "", 0},
        {"abc abc", repeat_to("abc ", 4000), 500},  // longer than the period
        {"bca", repeat_to("abc", 3001), 1000},
        {"aba", repeat_to("ab", 101), 25},
        {"", "abc", 3},  // the zero-width literal counts every position
        {"", "", 0},
    };
    for (const CountCase& c : cases) {
        EXPECT_EQ(count_literal_occurrences(Text(c.text), Text(c.needle)), c.count) << c.needle << " in " << c.text;
        EXPECT_EQ(plain_literal_count(c.text, c.needle), c.count) << c.needle << " in " << c.text;
    }
}

// Periods of 1024 and 1025 bytes, the cut-short last block and needles up to
// twice the period, against the plain scan.
TEST(CountLiteralOccurrences, PeriodEdgesEqualPlainScan) {
    for (size_t period : {size_t{1024}, size_t{1025}}) {
        std::string block = aperiodic_block(period, static_cast<unsigned>(period));
        for (size_t n : {2 * period, 2 * period + 1, 3 * period - 1, size_t{5000}}) {
            std::string t = repeat_to(block, n);
            for (size_t at : {0u, 5u, 1000u}) {
                for (size_t len : {1u, 2u, 7u, 1023u, 1024u, 1025u, 1500u}) {
                    if (at + len > block.size()) continue;
                    std::string needle = t.substr(at, len);
                    EXPECT_EQ(count_literal_occurrences(Text(t), Text(needle)), plain_literal_count(t, needle))
                        << "period " << period << " n " << n << " needle " << at << "+" << len;
                }
            }
        }
    }
}

TEST(CountLiteralOccurrences, RandomPeriodicTextsEqualPlainScan) {
    std::mt19937 rng(5);
    for (int it = 0; it < 20000; ++it) {
        size_t p = 1 + rng() % 8;
        std::string block;
        for (size_t i = 0; i < p; ++i) block += "aab"[rng() % 3];
        std::string t = repeat_to(block, 4 + rng() % 90);
        std::string needle;
        if (rng() % 2) {
            size_t at = rng() % t.size();
            needle = t.substr(at, 1 + rng() % 14);
        } else {
            size_t len = 1 + rng() % 6;
            for (size_t i = 0; i < len; ++i) needle += "aab"[rng() % 3];
        }
        ExactCopy c(t);
        ASSERT_EQ(count_literal_occurrences(c.text(), Text(needle)), plain_literal_count(t, needle))
            << needle << " in " << t;
    }
}

// ---------------------------------------------------------------------------
// count_keyword_occurrences

TEST(CountKeywordOccurrences, Examples) {
    struct Case {
        std::string keyword, text;
        uint64_t count;
    };
    const Case cases[] = {
        {"if", "if iffy if", 2}, {"if", "if_if", 1}, {"if", "xif", 1},        {"if", "", 0},
        {"if", "i", 0},          {"if", "if(if)", 2}, {"a", "aaa a", 2},      {"a", "a-a-a", 3},
        {"\xc3\xa9", "\xc3\xa9\xc3\xa9", 2},          {"if", "if\xc3\xa9", 1}, {"", "a b(", 2},
        {"", "", 0},             {"", "ab", 0},
    };
    for (const Case& c : cases) {
        Rc<KeywordElement> k = build_keyword(c.keyword);
        EXPECT_EQ(count_keyword_occurrences(*k, Text(c.text)), c.count) << c.keyword << " in " << c.text;
        EXPECT_EQ(plain_keyword_count(*k, c.text), c.count) << c.keyword << " in " << c.text;
    }
}

TEST(CountKeywordOccurrences, RandomTextsEqualPlainScan) {
    std::mt19937 rng(9);
    const char alphabet[] = "ab _(";
    for (const char* kw : {"a", "ab", "aba", "b a", ""}) {
        Rc<KeywordElement> k = build_keyword(kw);
        for (int it = 0; it < 3000; ++it) {
            std::string t;
            size_t n = rng() % 40;
            for (size_t i = 0; i < n; ++i) t += alphabet[rng() % 5];
            ExactCopy c(t);
            ASSERT_EQ(count_keyword_occurrences(*k, c.text()), plain_keyword_count(*k, t)) << kw << " in " << t;
        }
    }
}

// ---------------------------------------------------------------------------
// The substring searcher, every kernel this processor runs.

const SearchKernel kKernels[] = {SearchKernel::Avx2, SearchKernel::Sse2, SearchKernel::Portable,
                                 SearchKernel::Libc, SearchKernel::TwoWay};

size_t naive_find(const std::string& h, const std::string& n, size_t from) {
    size_t r = h.find(n, from);
    return r == std::string::npos ? h.size() + 1 : r;
}

uint64_t naive_count(const std::string& h, const std::string& n) {
    uint64_t c = 0;
    size_t i = 0;
    while ((i = h.find(n, i)) != std::string::npos) {
        ++c;
        i += n.size();
    }
    return c;
}

std::string naive_replace(const std::string& h, const std::string& n, const std::string& r) {
    std::string out;
    size_t i = 0, j;
    while ((j = h.find(n, i)) != std::string::npos) {
        out.append(h, i, j - i);
        out += r;
        i = j + n.size();
    }
    out.append(h, i, std::string::npos);
    return out;
}

TEST(SubstringSearch, KernelsEqualNaiveSearch) {
    std::mt19937 rng(3);
    for (SearchKernel k : kKernels) {
        if (!search_kernel_available(k)) continue;
        for (int it = 0; it < 4000; ++it) {
            size_t n = rng() % 300;
            std::string h;
            for (size_t i = 0; i < n; ++i) h += "abc"[rng() % 3];
            std::string nd;
            if (n > 0 && rng() % 2) {
                nd = h.substr(rng() % n, 1 + rng() % 40);
            } else {
                size_t m = 1 + rng() % 5;
                for (size_t i = 0; i < m; ++i) nd += "abc"[rng() % 3];
            }
            ExactCopy c(h);
            const char* f = find_substring(c.bytes.get(), n, nd.data(), nd.size(), k);
            size_t got = f ? static_cast<size_t>(f - c.bytes.get()) : n + 1;
            ASSERT_EQ(got, naive_find(h, nd, 0)) << static_cast<int>(k) << " " << nd << " in " << h;
            ASSERT_EQ(count_substring(c.bytes.get(), n, nd.data(), nd.size(), k), naive_count(h, nd))
                << static_cast<int>(k) << " " << nd << " in " << h;
            for (const std::string repl : {"XYZ", "", "a replacement of 29 bytes...."}) {
                std::string want = naive_replace(h, nd, repl);
                std::unique_ptr<char[]> out(new char[want.size() ? want.size() : 1]);
                size_t w = replace_substrings(c.bytes.get(), n, nd.data(), nd.size(), repl.data(), repl.size(),
                                              out.get(), want.size(), k);
                ASSERT_EQ(std::string(out.get(), w), want) << static_cast<int>(k) << " " << nd << " in " << h;
            }
        }
    }
}

// Long texts cross many vector blocks: dense matches, bordered needles, and
// an occurrence in the very last bytes.
TEST(SubstringSearch, LongTexts) {
    std::string dense = repeat_to("aab", 10000);
    std::string sparse(100000, 'x');
    sparse.replace(sparse.size() - 7, 7, "needle!");
    sparse.replace(40000, 7, "needle!");
    for (SearchKernel k : kKernels) {
        if (!search_kernel_available(k)) continue;
        for (const char* nd : {"a", "aa", "aab", "aabaa", "ba"}) {
            ExactCopy c(dense);
            EXPECT_EQ(count_substring(c.bytes.get(), c.n, nd, std::strlen(nd), k), naive_count(dense, nd)) << nd;
        }
        ExactCopy c(sparse);
        EXPECT_EQ(count_substring(c.bytes.get(), c.n, "needle!", 7, k), 2u);
        const char* f = find_substring(c.bytes.get(), c.n, "needle!", 7, k);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f - c.bytes.get(), 40000);
        EXPECT_EQ(find_substring(c.bytes.get() + 40001, c.n - 40001, "needle!", 7, k) - c.bytes.get(),
                  static_cast<ptrdiff_t>(sparse.size() - 7));
    }
}

TEST(SubstringSearch, EmptyAndOversizedNeedles) {
    const char* h = "abc";
    EXPECT_EQ(find_substring(h, 3, "", 0), h);
    EXPECT_EQ(find_substring(h, 3, "abcd", 4), nullptr);
    EXPECT_EQ(count_substring(h, 3, "abcd", 4), 0u);
    char out[4];
    EXPECT_EQ(replace_substrings(h, 3, "", 0, "X", 1, out, 3), 3u);
    EXPECT_EQ(std::string(out, 3), "abc");
}

// ---------------------------------------------------------------------------
// The worst case: the prefilter's verification is budgeted, and the Two-Way
// matcher takes over where candidates cost too much, mid-scan included.

// Texts over two letters with needles cut from them: the pair test passes
// often and verification fails late, so the budget runs out inside the scan
// and the matcher takes over from a position the prefilter reached. Every
// kernel's find, count and replace equal the naive ones, and the keyword-style
// search (resuming one byte after each occurrence) finds every occurrence.
TEST(SubstringSearch, HandOverToTheLinearMatcherKeepsResults) {
    std::mt19937 rng(17);
    bool some_fell_back = false;
    for (SearchKernel k : kKernels) {
        if (!search_kernel_available(k)) continue;
        for (int it = 0; it < 300; ++it) {
            size_t n = 500 + rng() % 3000;
            std::string h;
            // Long runs of one letter with rare breaks: near-misses everywhere.
            for (size_t i = 0; i < n; ++i) h += rng() % 16 ? 'a' : "bc"[rng() % 2];
            size_t m = 2 + rng() % 120;
            std::string nd = rng() % 2 ? h.substr(rng() % (n - m), m) : std::string(m - 1, 'a') + 'b';
            ExactCopy c(h);
            SearchWork w;
            ASSERT_EQ(count_substring(c.bytes.get(), n, nd.data(), m, k, &w), naive_count(h, nd)) << nd;
            some_fell_back |= w.fell_back;
            std::string want = naive_replace(h, nd, "<>");
            std::string out(want.size(), '\0');
            ASSERT_EQ(replace_substrings(c.bytes.get(), n, nd.data(), m, "<>", 2, out.data(), out.size(), k),
                      want.size());
            ASSERT_EQ(out, want) << nd;
            size_t from = rng() % n;
            SubstringTally t = tally_substring(c.bytes.get(), n, nd.data(), m, from, k);
            ASSERT_EQ(t.count, naive_count(h.substr(from), nd)) << nd << " from " << from;
            SubstringSearcher s(nd.data(), m, k);
            size_t i = 0;
            for (;;) {
                size_t got = s.find(c.bytes.get(), n, i);
                size_t want_at = naive_find(h, nd, i);
                ASSERT_EQ(got == SubstringSearcher::kNotFound ? n + 1 : got, want_at) << nd << " from " << i;
                if (got == SubstringSearcher::kNotFound) break;
                i = got + 1 + (rng() % 3 == 0 ? rng() % m : 0);
            }
        }
    }
    EXPECT_TRUE(some_fell_back);
}

struct AdversarialCase {
    const char* what;
    std::string needle, text;
};

std::vector<AdversarialCase> adversarial_cases() {
    const size_t n = 200000;
    std::vector<AdversarialCase> v;
    v.push_back({"a run with a last byte the text lacks", std::string(19999, 'z') + ' ', std::string(n, 'z') + 'q'});
    v.push_back({"blocks that miss at the end", std::string(999, 'a') + "a",
                 repeat_to(std::string(999, 'a') + 'b', n)});
    v.push_back({"a short needle over its own first bytes", std::string(15, 'e') + 'x', std::string(n, 'e')});
    v.push_back({"a needle whose rare pair is everywhere", repeat_to("xq", 3001) + "!", repeat_to("xq", n)});
    std::mt19937 rng(23);
    std::string ab;
    for (size_t i = 0; i < n; ++i) ab += "ab"[rng() % 2];
    v.push_back({"random two-letter text", ab.substr(1000, 5000), ab});
    return v;
}

// The bytes compared stay within a fixed multiple of the text and the
// needle on every adversarial case, for every kernel, where comparing at
// each position would cost the text times the needle.
TEST(SubstringSearch, WorstCaseWorkIsLinear) {
    for (const AdversarialCase& c : adversarial_cases()) {
        const size_t n = c.text.size(), m = c.needle.size();
        const uint64_t bound = 16 * (uint64_t{n} + m) + 4096;
        for (SearchKernel k : kKernels) {
            if (!search_kernel_available(k)) continue;
            SearchWork count_work, find_work, replace_work;
            uint64_t count = count_substring(c.text.data(), n, c.needle.data(), m, k, &count_work);
            EXPECT_EQ(count, naive_count(c.text, c.needle)) << c.what;
            EXPECT_LE(count_work.total(), bound) << c.what << " kernel " << static_cast<int>(k);
            (void)find_substring(c.text.data(), n, c.needle.data(), m, k, &find_work);
            EXPECT_LE(find_work.total(), bound) << c.what << " kernel " << static_cast<int>(k);
            std::string out(n - count * m, '\0');
            replace_substrings(c.text.data(), n, c.needle.data(), m, "", 0, out.data(), out.size(), k, &replace_work);
            EXPECT_LE(replace_work.total(), bound) << c.what << " kernel " << static_cast<int>(k);
            // The keyword count's way: resume one byte after each occurrence.
            SubstringSearcher s(c.needle.data(), m, k);
            for (size_t i = 0, o; (o = s.find(c.text.data(), n, i)) != SubstringSearcher::kNotFound;) i = o + 1;
            EXPECT_LE(s.work().total(), bound) << c.what << " kernel " << static_cast<int>(k);
        }
    }
}

// Overlapping occurrences found one byte apart, as the keyword count does
// after an occurrence followed by an identifier byte: a long run of one
// letter holds an occurrence at every position, and each is reported with
// constant work once the matcher has taken over.
TEST(SubstringSearch, ResumingInsideEachOccurrenceIsLinear) {
    const std::string text(300000, 'a');
    for (size_t m : {size_t{3}, size_t{40}, size_t{5000}}) {
        std::string nd(m, 'a');
        for (SearchKernel k : kKernels) {
            if (!search_kernel_available(k)) continue;
            SubstringSearcher s(nd.data(), m, k);
            size_t found = 0;
            for (size_t i = 0, o; (o = s.find(text.data(), text.size(), i)) != SubstringSearcher::kNotFound; i = o + 1)
                ++found;
            EXPECT_EQ(found, text.size() - m + 1);
            EXPECT_LE(s.work().total(), 16 * (text.size() + m) + 4096) << m << " kernel " << static_cast<int>(k);
        }
    }
    Rc<KeywordElement> kw = build_keyword(std::string(5000, 'a'));
    EXPECT_EQ(count_keyword_occurrences(*kw, Text(text)), 1u);  // only the last one has no identifier after it
}

// On ordinary text the prefilter keeps the whole scan: the linear matcher is
// only for the adversarial case.
TEST(SubstringSearch, OrdinaryTextStaysOnThePrefilter) {
    const char* words[] = {"the", "of", "and", "because", "people", "through", "between", "another", "world"};
    std::mt19937 rng(29);
    std::string text;
    while (text.size() < 1000000) {
        text += words[rng() % 9];
        text += rng() % 11 ? ' ' : '\n';
    }
    for (const char* nd : {"th", "the", "because", "between the", "people through another world"}) {
        SearchWork w;
        (void)count_substring(text.data(), text.size(), nd, std::strlen(nd), SearchKernel::Auto, &w);
        EXPECT_FALSE(w.fell_back) << nd;
        EXPECT_LE(w.verified, 2 * text.size()) << nd;
    }
}

TEST(SubstringSearch, AllAscii) {
    EXPECT_TRUE(all_ascii("", 0));
    std::string a(1000, 'a');
    EXPECT_TRUE(all_ascii(a.data(), a.size()));
    for (size_t at : {0u, 255u, 256u, 511u, 999u}) {
        std::string b = a;
        b[at] = '\x80';
        EXPECT_FALSE(all_ascii(b.data(), b.size())) << at;
    }
}

}  // namespace
