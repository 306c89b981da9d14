// The shared values of the element model: texts, token lists, outcomes,
// character tables, records and handles.
#include <gtest/gtest.h>

#include "elements/element.hpp"
#include "test_support.hpp"

using namespace qgx;

TEST(SharedText, CopySharesOneBlockAndTheLastReleaseFrees) {
    SharedText a = SharedText::copy("abc");
    EXPECT_EQ(a.view(), "abc");
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(a.use_count(), 1u);
    {
        SharedText b = a;
        EXPECT_TRUE(b.same_block(a));
        EXPECT_EQ(a.use_count(), 2u);
        SharedText c = std::move(b);
        EXPECT_EQ(a.use_count(), 2u);
        EXPECT_TRUE(b.empty());
    }
    EXPECT_EQ(a.use_count(), 1u);
    SharedText other = SharedText::copy("abc");
    EXPECT_FALSE(other.same_block(a));
}

TEST(SharedText, EmptyTextHoldsNoBlock) {
    SharedText e = SharedText::copy("", 0);
    EXPECT_TRUE(e.empty());
    EXPECT_EQ(e.use_count(), 0u);
    EXPECT_EQ(e.view(), "");
    EXPECT_NE(e.data(), nullptr);
}

TEST(SharedText, KeepsEmbeddedNulBytes) {
    SharedText t = SharedText::copy(std::string_view("a\0b", 3));
    EXPECT_EQ(t.size(), 3u);
    EXPECT_EQ(t.view(), std::string_view("a\0b", 3));
}

TEST(SharedText, ViewPointsIntoTheGivenBytesAndHoldsNoBlock) {
    const char text[] = "key=value";
    SharedText v = SharedText::view(text + 4, 5);
    EXPECT_FALSE(v.owns_bytes());
    EXPECT_EQ(v.data(), text + 4);
    EXPECT_EQ(v.view(), "value");
    EXPECT_EQ(v.use_count(), 0u);
    SharedText w = v;  // a copy is the same view
    EXPECT_EQ(w.data(), text + 4);
    SharedText moved = std::move(w);
    EXPECT_EQ(moved.view(), "value");
    EXPECT_TRUE(w.empty());
    EXPECT_NE(w.data(), nullptr);
    // Views and owned texts mix in one list; assigning over either releases right.
    SharedText owned = SharedText::copy("value");
    EXPECT_FALSE(owned.same_block(v));
    SharedText slot = owned;
    EXPECT_EQ(owned.use_count(), 2u);
    slot = v;
    EXPECT_EQ(owned.use_count(), 1u);
    EXPECT_EQ(slot.data(), text + 4);
    slot = owned;
    EXPECT_EQ(owned.use_count(), 2u);
    SharedText none = SharedText::view(text, 0);
    EXPECT_TRUE(none.empty());
    EXPECT_NE(none.data(), nullptr);
}

TEST(SharedText, FixedTextIsAViewOfTheStaticBytes) {
    static const char kMessage[] = "Expected something";
    SharedText f = SharedText::fixed(kMessage);
    EXPECT_FALSE(f.owns_bytes());
    EXPECT_EQ(f.data(), kMessage);
    EXPECT_EQ(f.view(), "Expected something");
}

TEST(TokenList, TwoTokensInlineAThirdMovesToTheHeap) {
    TokenList l;
    l.push_back(SharedText::copy("a"));
    l.push_back(SharedText::copy("b"));
    EXPECT_FALSE(l.on_heap());
    l.push_back(SharedText::copy("c"));
    EXPECT_TRUE(l.on_heap());
    for (int i = 0; i < 20; ++i) l.push_back(SharedText::copy(std::to_string(i)));
    ASSERT_EQ(l.size(), 23u);
    EXPECT_EQ(l[0].view(), "a");
    EXPECT_EQ(l[2].view(), "c");
    EXPECT_EQ(l[22].view(), "19");
}

TEST(TokenList, AppendMovesTokensWithoutCountChanges) {
    SharedText x = SharedText::copy("x");
    SharedText y = SharedText::copy("y");
    struct Case {
        int left, right;
    };
    // Empty, inline and heap lists on either side.
    for (Case c : {Case{0, 1}, Case{1, 1}, Case{0, 3}, Case{2, 2}, Case{3, 3}, Case{2, 0}}) {
        SCOPED_TRACE(std::to_string(c.left) + " + " + std::to_string(c.right));
        TokenList a, b;
        for (int i = 0; i < c.left; ++i) a.push_back(x);
        for (int i = 0; i < c.right; ++i) b.push_back(y);
        uint32_t xs = x.use_count(), ys = y.use_count();
        a.append(std::move(b));
        EXPECT_EQ(x.use_count(), xs);
        EXPECT_EQ(y.use_count(), ys);
        EXPECT_TRUE(b.empty());
        ASSERT_EQ(a.size(), static_cast<uint32_t>(c.left + c.right));
        for (int i = 0; i < c.left; ++i) EXPECT_TRUE(a[i].same_block(x));
        for (int i = 0; i < c.right; ++i) EXPECT_TRUE(a[c.left + i].same_block(y));
    }
    EXPECT_EQ(x.use_count(), 1u);
    EXPECT_EQ(y.use_count(), 1u);
}

TEST(TokenList, CloneSharesEveryText) {
    TokenList a;
    for (const char* s : {"a", "b", "c"}) a.push_back(SharedText::copy(s));
    TokenList b = a;
    ASSERT_EQ(b.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(b[i].same_block(a[i]));
        EXPECT_EQ(a[i].use_count(), 2u);
    }
    b = TokenList();
    EXPECT_EQ(a[0].use_count(), 1u);
}

TEST(Outcomes, SuccessFailureAndFromStart) {
    ParseOutcome ok = ParseOutcome::success(4, TokenList(SharedText::copy("tok")));
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.end, 4u);
    ParseFromStartOutcome fs = ParseFromStartOutcome::from(std::move(ok));
    ASSERT_TRUE(fs.ok);
    EXPECT_EQ(token_texts(fs.tokens), std::vector<std::string>{"tok"});

    SharedText msg = SharedText::copy("Expected x");
    ParseOutcome bad = ParseOutcome::fail(msg, 7);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.failure.position, 7u);
    EXPECT_TRUE(bad.failure.message.same_block(msg));
    ParseFromStartOutcome fbad = ParseFromStartOutcome::from(std::move(bad));
    EXPECT_FALSE(fbad.ok);
    EXPECT_EQ(fbad.failure.position, 7u);
    EXPECT_EQ(fbad.failure.message.view(), "Expected x");

    static_assert(sizeof(TryMatchOutcome) == 8, "two 32-bit words");
    EXPECT_EQ(TryMatchOutcome::yes(9).end, 9u);
    EXPECT_TRUE(TryMatchOutcome::yes(0).matched);
    EXPECT_FALSE(TryMatchOutcome::no().matched);
}

TEST(CharacterTables, ByteTableAndByteSetMembers) {
    ByteTable table;
    ByteSet set;
    EXPECT_TRUE(set.empty());
    for (unsigned b : {0u, 63u, 64u, 127u, 128u, 191u, 192u, 255u}) {
        table.add(static_cast<unsigned char>(b));
        set.add(static_cast<unsigned char>(b));
    }
    for (unsigned b = 0; b < 256; ++b) {
        bool member = b == 0 || b == 63 || b == 64 || b == 127 || b == 128 || b == 191 || b == 192 || b == 255;
        EXPECT_EQ(table.has(static_cast<unsigned char>(b)), member) << b;
        EXPECT_EQ(set.has(static_cast<unsigned char>(b)), member) << b;
    }
    // Byte b is bit b % 64 of word b / 64.
    EXPECT_EQ(set.words[0], (uint64_t{1} << 0) | (uint64_t{1} << 63));
    EXPECT_EQ(set.words[1], (uint64_t{1} << 0) | (uint64_t{1} << 63));
    EXPECT_EQ(set.words[3], (uint64_t{1} << 0) | (uint64_t{1} << 63));
    EXPECT_FALSE(set.empty());
}

TEST(Positions, ContinuationBytesAndBoundaries) {
    Text t("a\xc3\xa9\xe2\x82\xac");  // a, U+00E9, U+20AC
    const bool boundary[] = {true, true, false, true, false, false, true};
    for (Pos p = 0; p <= t.len; ++p) EXPECT_EQ(on_boundary(t, p), boundary[p]) << p;
    EXPECT_TRUE(is_continuation(0x80));
    EXPECT_TRUE(is_continuation(0xBF));
    EXPECT_FALSE(is_continuation(0xC0));
    EXPECT_FALSE(is_continuation(0x7F));
}

TEST(SharedElement, SharesTheRecordAndDispatchesThroughTheTable) {
    Rc<FixedTextElement> rec = make_fixed_text("ab");
    EXPECT_EQ(rec->refs.load(), 1u);
    {
        SharedElement a(rec, fixed_text_vtable());
        SharedElement b = a;
        EXPECT_EQ(rec->refs.load(), 3u);
        EXPECT_EQ(b.record(), rec.get());
        Text t("xab");
        EXPECT_FALSE(b.try_match_at(t, 0).matched);
        TryMatchOutcome m = b.try_match_at(t, 1);
        EXPECT_TRUE(m.matched);
        EXPECT_EQ(m.end, 3u);
        ParseOutcome o = b.parse_at(t, 0);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.failure.message.view(), "Expected ab");
        ParseFromStartOutcome fs = b.parse_from_start(Text("abc"));
        EXPECT_EQ(token_texts(fs.tokens), std::vector<std::string>{"ab"});
    }
    EXPECT_EQ(rec->refs.load(), 1u);
}

namespace {
int g_destroyed = 0;
struct CountedElement : ElementHeader {
    ~CountedElement() { ++g_destroyed; }
};
}  // namespace

TEST(SharedElement, LastReleaseDestroysTheRecordOnce) {
    g_destroyed = 0;
    {
        Rc<CountedElement> r = Rc<CountedElement>::make();
        Rc<CountedElement> s = r;
        r = Rc<CountedElement>();
        EXPECT_EQ(g_destroyed, 0);
    }
    EXPECT_EQ(g_destroyed, 1);
}

TEST(SharedElement, DeepChainIsFreedWithoutDeepRecursion) {
    // Far deeper than the stack would allow for recursive destruction.
    constexpr int kDepth = 300000;
    SharedElement top(make_fixed_text("z"), fixed_text_vtable());
    for (int i = 0; i < kDepth; ++i) {
        Rc<WrapElement> w = Rc<WrapElement>::make();
        w->child = std::move(top);
        top = SharedElement(w, wrap_vtable());
    }
    top = SharedElement();
    SUCCEED();
}

TEST(MatchDepth, FailsPastTheBoundAndSetsTheFlag) {
    reset_depth_exceeded();
    EXPECT_FALSE(depth_exceeded());
    {
        std::vector<std::unique_ptr<MatchDepth>> guards;
        for (uint32_t i = 0; i < kMaxMatchDepth; ++i) {
            guards.push_back(std::make_unique<MatchDepth>());
            ASSERT_TRUE(guards.back()->ok());
        }
        MatchDepth past;
        EXPECT_FALSE(past.ok());
        EXPECT_TRUE(depth_exceeded());
    }
    EXPECT_EQ(tls_match_depth.depth, 0u);
    MatchDepth again;
    EXPECT_TRUE(again.ok());
    reset_depth_exceeded();
}
