// The operation engines on records and lambdas built directly: results,
// scan stepping, and the reuse rules of the batch operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/engines.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

std::vector<std::string> list_texts(PyObject* list) {
    std::vector<std::string> v;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) v.push_back(str_of(PyList_GET_ITEM(list, i)));
    return v;
}

// `n` distinct str objects "s0", "s1", ...
std::vector<OwnedRef> distinct_strs(size_t n, const char* prefix = "s") {
    std::vector<OwnedRef> v;
    for (size_t i = 0; i < n; ++i) v.push_back(OwnedRef::steal(PyUnicode_FromFormat("%s%zu", prefix, i)));
    return v;
}

std::vector<PyObject*> raw(const std::vector<OwnedRef>& v) {
    std::vector<PyObject*> r;
    for (const OwnedRef& o : v) r.push_back(o.get());
    return r;
}

std::vector<size_t> repeat_pattern(size_t k, size_t q) {
    std::vector<size_t> p;
    for (size_t j = 0; j < q; ++j)
        for (size_t i = 0; i < k; ++i) p.push_back(i);
    return p;
}

// An evaluation for batch_map that counts its calls and gives a new empty list.
struct CountingEval {
    int calls = 0;
    PyObject* operator()(PyObject*) {
        ++calls;
        return PyList_New(0);
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// parse_string

TEST(RunParseString, TokensBecomeNewStringsAndFailuresRaise) {
    Rc<FixedTextElement> r = make_fixed_text("ab");
    OwnedRef ok = OwnedRef::steal(run_parse_string(Text("abc"), [&](Text t) { return fixed_text_parse_from_start(*r, t); }));
    ASSERT_TRUE(ok);
    EXPECT_EQ(list_texts(ok.get()), std::vector<std::string>{"ab"});

    // A failure is reported at the position where the failing element was tried.
    auto at3 = [&](Text t) { return ParseFromStartOutcome::from(fixed_text_parse_at(*r, t, 3)); };
    EXPECT_EQ(run_parse_string(Text("xxxyy"), at3), nullptr);
    EXPECT_EQ(take_error(), "ValueError: ParseException at position 3: Expected ab");
}

TEST(RunParseString, MessageWithNulByteIsKeptWhole) {
    ParseFailure f{SharedText::copy(std::string_view("a\0b", 3)), 5};
    EXPECT_EQ(raise_parse_failure(f), nullptr);
    EXPECT_EQ(take_error(), std::string("ValueError: ParseException at position 5: a\0b", 45));
}

TEST(TokensToList, EqualTokensAreNotShared) {
    TokenList tokens;
    // Longer than one character: the interpreter shares its one-character strings.
    tokens.push_back(SharedText::copy("xy"));
    tokens.push_back(SharedText::copy("xy"));
    tokens.push_back(SharedText());
    OwnedRef l = OwnedRef::steal(tokens_to_list(tokens));
    ASSERT_EQ(PyList_GET_SIZE(l.get()), 3);
    EXPECT_NE(PyList_GET_ITEM(l.get(), 0), PyList_GET_ITEM(l.get(), 1));
    EXPECT_EQ(list_texts(l.get()), (std::vector<std::string>{"xy", "xy", ""}));
}

TEST(NewStr, CutCharactersAreDroppedNotFatal) {
    OwnedRef s = OwnedRef::steal(new_str("a\xc3", 2));
    ASSERT_TRUE(s);
    EXPECT_EQ(str_of(s.get()), "a");
    OwnedRef t = OwnedRef::steal(new_str("\xa9z", 2));
    EXPECT_EQ(str_of(t.get()), "z");
}

// ---------------------------------------------------------------------------
// search_string and transform_string

TEST(RunSearchString, EqualTextsShareOneString) {
    Rc<FixedTextElement> r = make_fixed_text("ab");
    auto try_ab = [&](Text t, Pos p) { return fixed_text_try_match_at(*r, t, p); };
    OwnedRef l = OwnedRef::steal(run_search_string(Text("ab-ab-xab"), try_ab));
    ASSERT_EQ(PyList_GET_SIZE(l.get()), 3);
    EXPECT_EQ(PyList_GET_ITEM(l.get(), 0), PyList_GET_ITEM(l.get(), 1));
    EXPECT_EQ(PyList_GET_ITEM(l.get(), 1), PyList_GET_ITEM(l.get(), 2));
    EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(l.get(), 0)), 3);  // the list's three positions, no more

    // Different texts get different strings, the first one made at its first occurrence.
    std::vector<Span> spans{{0, 1}, {1, 2}, {2, 3}, {3, 4}};
    OwnedRef m = OwnedRef::steal(spans_to_list(Text("abab"), spans));
    EXPECT_EQ(list_texts(m.get()), (std::vector<std::string>{"a", "b", "a", "b"}));
    EXPECT_EQ(PyList_GET_ITEM(m.get(), 0), PyList_GET_ITEM(m.get(), 2));
    EXPECT_EQ(PyList_GET_ITEM(m.get(), 1), PyList_GET_ITEM(m.get(), 3));
    EXPECT_NE(PyList_GET_ITEM(m.get(), 0), PyList_GET_ITEM(m.get(), 1));
}

TEST(RunSearchString, EmptyTextAndZeroWidthMatchesGiveNothing) {
    WidthElement zero;
    auto z = [&](Text t, Pos p) { return width_try_match_at(zero, t, p); };
    for (const char* s : {"", "abc"}) {
        OwnedRef l = OwnedRef::steal(run_search_string(Text(std::string_view(s)), z));
        EXPECT_EQ(PyList_GET_SIZE(l.get()), 0) << s;
        OwnedRef r = OwnedRef::steal(run_transform_string(Text(std::string_view(s)), Text("X"), z));
        EXPECT_EQ(str_of(r.get()), s);
    }
}

TEST(RunTransformString, ReplacesEachNonEmptyMatchLiterally) {
    Rc<FixedTextElement> r = make_fixed_text("ab");
    auto try_ab = [&](Text t, Pos p) { return fixed_text_try_match_at(*r, t, p); };
    struct Case {
        const char* text;
        const char* replacement;
        const char* out;
    };
    const Case cases[] = {
        {"", "X", ""},
        {"ab", "X", "X"},
        {"abab", "X", "XX"},
        {"xaby", "\\1$0", "x\\1$0y"},
        {"aab-ab", "", "a-"},
        {"\xc3\xa9" "ab\xc3\xa9", "\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac\xc3\xa9"},
    };
    for (const Case& c : cases) {
        OwnedRef out = OwnedRef::steal(
            run_transform_string(Text(std::string_view(c.text)), Text(std::string_view(c.replacement)), try_ab));
        EXPECT_EQ(str_of(out.get()), c.out) << c.text;
    }
    WidthElement one{};
    one.width = 1;
    OwnedRef each = OwnedRef::steal(
        run_transform_string(Text("abc"), Text("<>"), [&](Text t, Pos p) { return width_try_match_at(one, t, p); }));
    EXPECT_EQ(str_of(each.get()), "<><><>");
}

TEST(ScanSpans, MatchesCuttingACharacterKeepOnlyWholeCharacters) {
    // A byte-run test over a set of raw bytes, as a byte-table kind would run.
    auto run_of = [](std::string set) {
        return [set](Text t, Pos p) {
            Pos e = p;
            while (e < t.len && set.find(static_cast<char>(t.at(e))) != std::string::npos) ++e;
            return e > p ? TryMatchOutcome::yes(e) : TryMatchOutcome::no();
        };
    };
    struct Case {
        std::string set;
        std::string text;
        std::vector<std::string> found;
        std::string replaced;  // with "X"
    };
    const Case cases[] = {
        {"\xc3", "\xc3\xa9", {}, "\xc3\xa9"},                     // only the lead byte: no whole character
        {"a\xc3", "a\xc3\xa9", {"a"}, "X\xc3\xa9"},               // the end moves back to the character's start
        {"\xa9z", "\xc3\xa9z", {"z"}, "\xc3\xa9X"},               // the start moves forward past the cut character
        {"a\xc3\xa9", "a\xc3\xa9", {"a\xc3\xa9"}, "X"},           // whole characters are kept as they are
        {"\x82\xac", "\xe2\x82\xac\xe2\x82\xac", {}, "\xe2\x82\xac\xe2\x82\xac"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        OwnedRef l = OwnedRef::steal(run_search_string(Text(c.text), run_of(c.set)));
        ASSERT_TRUE(l);
        EXPECT_EQ(list_texts(l.get()), c.found);
        OwnedRef r = OwnedRef::steal(run_transform_string(Text(c.text), Text("X"), run_of(c.set)));
        ASSERT_TRUE(r);
        EXPECT_EQ(str_of(r.get()), c.replaced);
    }
}

// ---------------------------------------------------------------------------
// Scan stepping

TEST(Scans, StepPastMatchesAndOneByteOtherwise) {
    // Outcome by position over a text of 8 bytes: no match, zero-width,
    // one byte, three bytes, ...
    const TryMatchOutcome by_pos[8] = {
        TryMatchOutcome::no(),    TryMatchOutcome::yes(1), TryMatchOutcome::yes(3), TryMatchOutcome::yes(6),
        TryMatchOutcome::yes(5),  TryMatchOutcome::no(),   TryMatchOutcome::no(),   TryMatchOutcome::yes(8),
    };
    std::vector<Pos> visited;
    auto probe = [&](Text, Pos p) {
        visited.push_back(p);
        return by_pos[p];
    };
    Text t("abcdefgh");
    EXPECT_EQ(counting_scan(t, probe), 4u);
    EXPECT_EQ(visited, (std::vector<Pos>{0, 1, 2, 3, 6, 7}));

    visited.clear();
    std::vector<Span> spans;
    scan_spans(t, probe, spans);
    EXPECT_EQ(visited, (std::vector<Pos>{0, 1, 2, 3, 6, 7}));
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].start, 2u);
    EXPECT_EQ(spans[0].end, 3u);
    EXPECT_EQ(spans[1].start, 3u);
    EXPECT_EQ(spans[1].end, 6u);
    EXPECT_EQ(spans[2].start, 7u);
    EXPECT_EQ(spans[2].end, 8u);
}

TEST(Scans, CountingScanCountsZeroWidthMatches) {
    struct Case {
        Pos width;
        const char* text;
        uint64_t count;
    };
    const Case cases[] = {
        {0, "", 0}, {0, "abc", 3}, {0, "\xc3\xa9", 2}, {1, "abc", 3}, {2, "abcde", 2}, {2, "abcd", 2}, {5, "abc", 0},
    };
    for (const Case& c : cases) {
        WidthElement w;
        w.width = c.width;
        EXPECT_EQ(counting_scan(Text(std::string_view(c.text)), [&](Text t, Pos p) { return width_try_match_at(w, t, p); }),
                  c.count)
            << c.width << " on '" << c.text << "'";
    }
}

// ---------------------------------------------------------------------------
// The identity period

TEST(IdentityPeriod, FirstRepeatOfItemZeroConfirmedOnEveryBlock) {
    auto objs = distinct_strs(300);
    auto period_of = [&](const std::vector<size_t>& pattern) {
        OwnedRef l = make_list_of(raw(objs), pattern);
        return find_identity_period(reinterpret_cast<PyListObject*>(l.get())->ob_item, PyList_GET_SIZE(l.get()));
    };
    EXPECT_EQ(period_of(repeat_pattern(1, 5)), 1);
    EXPECT_EQ(period_of(repeat_pattern(3, 2)), 3);
    EXPECT_EQ(period_of(repeat_pattern(3, 40)), 3);
    EXPECT_EQ(period_of(repeat_pattern(127, 2)), 127);
    EXPECT_EQ(period_of(repeat_pattern(128, 2)), 0);
    EXPECT_EQ(period_of(repeat_pattern(128, 3)), 0);
    EXPECT_EQ(period_of({0, 1, 2}), 0);
    EXPECT_EQ(period_of({0, 1, 2, 0, 1, 2, 0}), 0);                // not a multiple
    EXPECT_EQ(period_of({0, 1, 2, 0, 1, 2, 0, 2, 1, 0, 1, 2}), 0);  // a middle block differs
    EXPECT_EQ(period_of({0, 1, 0, 2, 0, 1, 0, 2}), 0);              // only the first repeat of item 0 is tried
    EXPECT_EQ(period_of({0, 1, 1, 0, 1, 1}), 3);
}

// ---------------------------------------------------------------------------
// batch_map

TEST(BatchMap, SameObjectIsEvaluatedOnceAndShared) {
    auto objs = distinct_strs(1);
    for (size_t n : {size_t{1}, size_t{2}, size_t{1000}}) {
        OwnedRef l = make_list_of(raw(objs), std::vector<size_t>(n, 0));
        CountingEval eval;
        OwnedRef out = OwnedRef::steal(batch_map(l.get(), eval));
        ASSERT_EQ(PyList_GET_SIZE(out.get()), static_cast<Py_ssize_t>(n));
        if (!kPlainPaths) {
            EXPECT_EQ(eval.calls, 1);
            for (size_t i = 0; i < n; ++i) EXPECT_EQ(PyList_GET_ITEM(out.get(), i), PyList_GET_ITEM(out.get(), 0));
            EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(out.get(), 0)), static_cast<Py_ssize_t>(n));
        } else {
            EXPECT_EQ(eval.calls, static_cast<int>(n));
        }
    }
    OwnedRef empty = OwnedRef::steal(PyList_New(0));
    CountingEval none;
    OwnedRef out = OwnedRef::steal(batch_map(empty.get(), none));
    EXPECT_EQ(PyList_GET_SIZE(out.get()), 0);
    EXPECT_EQ(none.calls, 0);
}

TEST(BatchMap, IdentityPeriodEvaluatesOneBlock) {
    auto objs = distinct_strs(128);
    for (size_t k : {size_t{2}, size_t{3}, size_t{127}}) {
        SCOPED_TRACE(k);
        const size_t q = 4;
        OwnedRef l = make_list_of(raw(objs), repeat_pattern(k, q));
        CountingEval eval;
        OwnedRef out = OwnedRef::steal(batch_map(l.get(), eval));
        ASSERT_EQ(PyList_GET_SIZE(out.get()), static_cast<Py_ssize_t>(k * q));
        if (kPlainPaths) {
            EXPECT_EQ(eval.calls, static_cast<int>(k * q));
            continue;
        }
        EXPECT_EQ(eval.calls, static_cast<int>(k));
        for (size_t i = 0; i < k * q; ++i) EXPECT_EQ(PyList_GET_ITEM(out.get(), i), PyList_GET_ITEM(out.get(), i % k));
        EXPECT_NE(PyList_GET_ITEM(out.get(), 0), PyList_GET_ITEM(out.get(), 1));
        EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(out.get(), 0)), static_cast<Py_ssize_t>(q));
    }
}

TEST(BatchMap, ListsWithoutAPeriodGoItemByItem) {
    auto objs = distinct_strs(128);
    struct Case {
        const char* what;
        std::vector<size_t> pattern;
        int evaluations;
    };
    const Case cases[] = {
        {"a block of 128", repeat_pattern(128, 2), 256},
        {"a middle block differs", {0, 1, 2, 0, 1, 2, 0, 2, 1, 0, 1, 2}, 12},
        {"length not a multiple", {0, 1, 2, 0, 1, 2, 0}, 7},
        {"consecutive repeats", {0, 0, 1, 1, 1, 0, 2}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OwnedRef l = make_list_of(raw(objs), c.pattern);
        CountingEval eval;
        OwnedRef out = OwnedRef::steal(batch_map(l.get(), eval));
        ASSERT_EQ(PyList_GET_SIZE(out.get()), static_cast<Py_ssize_t>(c.pattern.size()));
        if (kPlainPaths) {
            EXPECT_EQ(eval.calls, static_cast<int>(c.pattern.size()));
            continue;
        }
        EXPECT_EQ(eval.calls, c.evaluations);
        // Only neighbours holding the same object share a result.
        for (size_t i = 0; i < c.pattern.size(); ++i)
            for (size_t j = i + 1; j < c.pattern.size(); ++j) {
                bool shared = PyList_GET_ITEM(out.get(), i) == PyList_GET_ITEM(out.get(), j);
                bool run = true;
                for (size_t m = i + 1; m <= j; ++m) run = run && c.pattern[m] == c.pattern[i];
                EXPECT_EQ(shared, run) << i << "," << j;
            }
    }
}

TEST(BatchMap, AnEvaluationErrorReleasesEverythingBuilt) {
    auto objs = distinct_strs(8);
    OwnedRef sentinel = OwnedRef::steal(PyList_New(0));
    struct Case {
        const char* what;
        std::vector<size_t> pattern;
        int fail_at_call;  // 1-based
    };
    const Case cases[] = {
        {"same object", std::vector<size_t>(10, 0), 1},
        {"period", repeat_pattern(3, 4), 3},
        {"item by item", {0, 1, 1, 2, 3, 4, 5}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OwnedRef l = make_list_of(raw(objs), c.pattern);
        Py_ssize_t before = Py_REFCNT(sentinel.get());
        int calls = 0;
        auto eval = [&](PyObject*) -> PyObject* {
            if (++calls == c.fail_at_call) {
                PyErr_SetString(PyExc_TypeError, "boom");
                return nullptr;
            }
            Py_INCREF(sentinel.get());
            return sentinel.get();
        };
        EXPECT_EQ(batch_map(l.get(), eval), nullptr);
        EXPECT_EQ(take_error(), "TypeError: boom");
        EXPECT_EQ(Py_REFCNT(sentinel.get()), before);
        for (size_t i = 0; i < objs.size(); ++i) {
            Py_ssize_t held = 1;  // by `objs`
            for (size_t j : c.pattern) held += j == i;
            EXPECT_EQ(Py_REFCNT(objs[i].get()), held);
        }
    }
}

TEST(RunParseBatch, TokensPerInputAndUnreadableItemsRaise) {
    Rc<FixedTextElement> r = make_fixed_text("ab");
    auto parse_ab = [&](Text t, Pos p) { return fixed_text_parse_at(*r, t, p); };
    OwnedRef l = make_str_list({"abc", "x", "ab"});
    OwnedRef out = OwnedRef::steal(run_parse_batch(l.get(), parse_ab));
    ASSERT_EQ(PyList_GET_SIZE(out.get()), 3);
    EXPECT_EQ(list_texts(PyList_GET_ITEM(out.get(), 0)), std::vector<std::string>{"ab"});
    EXPECT_EQ(list_texts(PyList_GET_ITEM(out.get(), 1)), std::vector<std::string>{});
    EXPECT_EQ(list_texts(PyList_GET_ITEM(out.get(), 2)), std::vector<std::string>{"ab"});

    OwnedRef bad_items = eval_python("[1, 'ab\\udc80']");
    for (Py_ssize_t bad = 0; bad < 2; ++bad) {
        PyObject* item = PyList_GET_ITEM(bad_items.get(), bad);
        for (const std::vector<size_t>& pattern :
             {std::vector<size_t>{2, 2, 2}, std::vector<size_t>{0, 2, 0, 2}, std::vector<size_t>{0, 1, 2}}) {
            OwnedRef objs_l = make_str_list({"ab", "cd"});
            std::vector<PyObject*> objs{PyList_GET_ITEM(objs_l.get(), 0), PyList_GET_ITEM(objs_l.get(), 1), item};
            OwnedRef in = make_list_of(objs, pattern);
            Py_ssize_t item_refs = Py_REFCNT(item);
            EXPECT_EQ(run_parse_batch(in.get(), parse_ab), nullptr);
            std::string err = take_error();
            EXPECT_EQ(err.substr(0, err.find(':')), bad == 0 ? "TypeError" : "UnicodeEncodeError");
            EXPECT_EQ(Py_REFCNT(item), item_refs);
            EXPECT_EQ(count_batch_matches<false>(in.get(), [&](Text t, Pos p) { return fixed_text_try_match_at(*r, t, p); }),
                      nullptr);
            err = take_error();
            EXPECT_EQ(err.substr(0, err.find(':')), bad == 0 ? "TypeError" : "UnicodeEncodeError");
        }
    }
}

// ---------------------------------------------------------------------------
// count_batch

TEST(CountBatch, ReuseRulesEvaluateOnlyWhatTheyNeed) {
    auto objs = distinct_strs(200);
    // Odd-numbered strings match.
    auto matches = [](Text t) { return (t.at(t.len - 1) - '0') % 2 == 1; };
    struct Case {
        const char* what;
        std::vector<size_t> pattern;
        int evaluations;
    };
    std::vector<size_t> scrambled;  // 40 distinct objects, each twice, no period
    for (size_t i = 0; i < 40; ++i) scrambled.push_back(i);
    for (size_t i = 40; i-- > 0;) scrambled.push_back(i);
    std::vector<size_t> cached{0, 1, 0, 1, 0, 2, 1, 2};
    const Case cases[] = {
        {"same object", std::vector<size_t>(1000, 1), 1},
        {"one item", {3}, 1},
        {"period of 3", repeat_pattern(3, 50), 3},
        {"period of 127", repeat_pattern(127, 2), 127},
        {"a block of 128", repeat_pattern(128, 2), 256 - 31},
        {"repeats held by the cache", cached, 3},
        {"more than 31 distinct objects", scrambled, 80 - 31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OwnedRef l = make_list_of(raw(objs), c.pattern);
        int calls = 0;
        int64_t expected = 0;
        for (size_t i : c.pattern) expected += (i % 10) % 2;
        int64_t got = count_batch<false>(l.get(), [&](Text t) {
            ++calls;
            return matches(t);
        });
        EXPECT_EQ(got, expected);
        EXPECT_EQ(calls, kPlainPaths ? static_cast<int>(c.pattern.size()) : c.evaluations);
    }
    OwnedRef empty = OwnedRef::steal(PyList_New(0));
    EXPECT_EQ(count_batch<false>(empty.get(), [](Text) { return true; }), 0);
}

TEST(CountBatch, ItemsHeldByTheListAloneLeaveTheCacheToObjectsThatRecur) {
    // 40 shared objects, each twice with no period, behind 100 strings that
    // only the list holds. The 100 are evaluated once each without taking a
    // cache entry, so the shared ones still find 31 entries: 40 + 9 calls.
    auto shared = distinct_strs(40, "t");
    OwnedRef l = OwnedRef::steal(PyList_New(0));
    for (size_t i = 0; i < 100; ++i) {
        OwnedRef fresh = OwnedRef::steal(PyUnicode_FromFormat("f%zu", i));
        ASSERT_EQ(PyList_Append(l.get(), fresh.get()), 0);
    }
    for (size_t i = 0; i < 40; ++i) ASSERT_EQ(PyList_Append(l.get(), shared[i].get()), 0);
    for (size_t i = 40; i-- > 0;) ASSERT_EQ(PyList_Append(l.get(), shared[i].get()), 0);
    for (Py_ssize_t i = 0; i < 100; ++i) ASSERT_EQ(Py_REFCNT(PyList_GET_ITEM(l.get(), i)), 1);
    int calls = 0;
    int64_t got = count_batch<false>(l.get(), [&](Text t) {
        ++calls;
        return t.at(0) == 'f';
    });
    EXPECT_EQ(got, 100);
    EXPECT_EQ(calls, kPlainPaths ? 180 : 100 + 40 + 9);
}

TEST(InputMatchCache, HoldsThirtyOneEntriesThenProbesEverySlot) {
    // Keys that all share home slot 1, so probing wraps round the table.
    auto key = [](uintptr_t i) { return reinterpret_cast<PyObject*>((i << 17) + 16); };
    InputMatchCache cache;
    for (uintptr_t i = 0; i < 31; ++i) {
        int slot = -2;
        ASSERT_EQ(cache.lookup(key(i), slot), 0);
        EXPECT_EQ(slot, static_cast<int>((1 + i) % 32));
        cache.store(slot, key(i), i % 2 == 0);
    }
    for (uintptr_t i = 0; i < 31; ++i) {
        int slot = -2;
        EXPECT_EQ(cache.lookup(key(i), slot), i % 2 == 0 ? 1 : 2) << i;
    }
    int slot = -2;
    EXPECT_EQ(cache.lookup(key(31), slot), 0);
    EXPECT_EQ(slot, -1);
    cache.store(slot, key(31), true);  // full: not stored
    EXPECT_EQ(cache.lookup(key(31), slot), 0);
}

TEST(CountBatchMatches, ThroughAKindAndThroughASharedElement) {
    Rc<FixedTextElement> r = make_fixed_text("ab");
    OwnedRef l = make_str_list({"abc", "x", "ab", "", "zab"});
    OwnedRef direct =
        OwnedRef::steal(count_batch_matches<false>(l.get(), [&](Text t, Pos p) { return fixed_text_try_match_at(*r, t, p); }));
    EXPECT_EQ(PyLong_AsLong(direct.get()), 2);
    SharedElement e(r, fixed_text_vtable());
    OwnedRef shared = OwnedRef::steal(count_batch_matches_shared(e, l.get()));
    EXPECT_EQ(PyLong_AsLong(shared.get()), 2);
}
