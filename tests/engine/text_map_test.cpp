// The per-call text maps: lookups stay a few probes each whatever texts the
// caller chose, the texts crafted against a fixed hash included.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/text_map.hpp"

using namespace qgx;

namespace {

// The fixed hash the maps once used for texts of 8 bytes, and its inverse:
// texts whose hash has `zero_bits` low bits clear land in one probe run of
// every table of up to 2^zero_bits slots.
constexpr uint64_t kOldSeed = 0x9E3779B97F4A7C15ull ^ 8;
constexpr uint64_t kOldMul = 0x94D049BB133111EBull;

uint64_t old_hash8(uint64_t w) {
    uint64_t h = (kOldSeed ^ w) * kOldMul;
    h ^= h >> 29;
    return h ^ (h >> 32);
}

uint64_t inverse_mod_2_64(uint64_t a) {
    uint64_t x = a;  // Newton's iteration doubles the correct low bits each step
    for (int i = 0; i < 6; ++i) x *= 2 - a * x;
    return x;
}

std::vector<std::string> words_colliding_in_old_hash(size_t count, int zero_bits) {
    const uint64_t inv = inverse_mod_2_64(kOldMul);
    std::mt19937_64 rng(41);
    std::vector<std::string> out;
    while (out.size() < count) {
        uint64_t r = rng() << zero_bits;
        uint64_t h = r ^ (r >> 32);
        uint64_t u = h ^ (h >> 29) ^ (h >> 58);
        uint64_t w = (u * inv) ^ kOldSeed;
        std::string s(8, '\0');
        std::memcpy(s.data(), &w, 8);
        out.push_back(s);
    }
    return out;
}

// Inserts every text, then finds every one again; gives the probes per
// operation.
double probes_per_operation(const std::vector<std::string>& texts) {
    TextMap<uint32_t> map(16);
    for (size_t i = 0; i < texts.size(); ++i) {
        bool fresh = false;
        map.find_or_insert(texts[i], fresh) = static_cast<uint32_t>(i);
        EXPECT_TRUE(fresh);
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        bool fresh = true;
        EXPECT_EQ(map.find_or_insert(texts[i], fresh), static_cast<uint32_t>(i));
        EXPECT_FALSE(fresh);
    }
    EXPECT_EQ(map.size(), texts.size());
    return static_cast<double>(map.probes()) / static_cast<double>(2 * texts.size());
}

TEST(TextMap, TheCraftedWordsCollideUnderTheOldHash) {
    for (const std::string& w : words_colliding_in_old_hash(1000, 17)) {
        uint64_t x;
        std::memcpy(&x, w.data(), 8);
        EXPECT_EQ(old_hash8(x) & 0x1FFFF, 0u);
    }
}

// 40,000 texts in one probe run under the old hash would cost about 20,000
// probes each; under the keyed hash they cost what random texts cost.
TEST(TextMap, CraftedTextsCostAFewProbesEach) {
    struct Case {
        const char* what;
        std::vector<std::string> texts;
    };
    std::vector<Case> cases;
    cases.push_back({"crafted against the old hash", words_colliding_in_old_hash(40000, 17)});
    std::vector<std::string> counters, long_shared, one_bit;
    char buf[32];
    for (int i = 0; i < 40000; ++i) {
        std::snprintf(buf, sizeof buf, "w%07d", i);
        counters.push_back(buf);
        long_shared.push_back(std::string(40, 'x') + buf);
        std::string b(8, '\0');
        uint64_t x = uint64_t{1} << (i % 32) | uint64_t(i / 32) << 32;
        std::memcpy(b.data(), &x, 8);
        one_bit.push_back(b);
    }
    cases.push_back({"counters", counters});
    cases.push_back({"long texts sharing a prefix", long_shared});
    cases.push_back({"texts a bit apart", one_bit});
    for (const Case& c : cases) EXPECT_LT(probes_per_operation(c.texts), 4.0) << c.what;
}

TEST(TextMap, EqualTextsShareOneEntryAndTheEmptyTextIsAKey) {
    TextMap<int> map(4);
    bool fresh = false;
    map.find_or_insert("", fresh) = 7;
    EXPECT_TRUE(fresh);
    std::string a = "abc", b = "abc";  // equal texts at different addresses
    map.find_or_insert(a, fresh) = 1;
    EXPECT_TRUE(fresh);
    EXPECT_EQ(map.find_or_insert(b, fresh), 1);
    EXPECT_FALSE(fresh);
    EXPECT_EQ(map.find_or_insert(std::string_view(), fresh), 7);
    EXPECT_FALSE(fresh);
    EXPECT_EQ(map.size(), 2u);
}

// One key for the process: every map hashes a text the same way.
TEST(TextMap, OneKeyPerProcess) {
    TextMap<int> a(4), b(1000);
    for (const char* t : {"", "a", "abcdefgh", "a longer text of some bytes"}) EXPECT_EQ(a.hash_of(t), b.hash_of(t));
    EXPECT_NE(a.hash_of("abcdefgh"), a.hash_of("abcdefgi"));
}

}  // namespace

// ---------------------------------------------------------------------------
// The interner of the search results: slots that hold the str itself.

namespace {

std::string utf8_of(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    return std::string(p, static_cast<size_t>(n));
}

// Every text given twice from different copies: one str per distinct text,
// holding exactly its characters.
TEST(TextInterner, EqualTextsShareOneStrOfEveryWidth) {
    const std::vector<std::string> texts = {
        "", "a", "ab", "abc", "abcdefgh", "abcdefghi", "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
        "\xc3\xa9", "\xc3\xa8", "a\xc3\xa9", "\xc3\xa9" "a", "\xc3\xa9\xc3\xa9",      // latin-1: é, è
        "\xd0\xb4\xd0\xb0", "\xd0\xb4\xd0\xb1",                                      // two-byte: да, дб
        "\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xa8", "x\xe6\x97\xa5",     // 日本, 日木, x日
        "\xf0\x9f\x98\x80", "a\xf0\x9f\x98\x80" "b", "\xf0\x9f\x98\x81",             // four-byte
        "aa", "\xc3\xa9\xc3",  // a cut character, which its str drops
    };
    TextInterner made(4);
    std::vector<PyObject*> refs;
    std::vector<PyObject*> first;
    for (const std::string& t : texts) {
        first.push_back(made.get(t.data(), static_cast<Pos>(t.size())));
        refs.push_back(first.back());
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string copy = texts[i];
        PyObject* again = made.get(copy);
        refs.push_back(again);
        if (i + 1 == texts.size()) {
            // A text that is no str of its own bytes gives its whole characters.
            EXPECT_EQ(utf8_of(again), "\xc3\xa9");
            continue;
        }
        EXPECT_EQ(again, first[i]) << i;
        EXPECT_EQ(utf8_of(again), texts[i]) << i;
        for (size_t j = 0; j < i; ++j) EXPECT_NE(first[i], first[j]) << i << " " << j;
    }
    for (PyObject* r : refs) Py_DECREF(r);
}

// Many doublings, past the size from which the table is mapped and grown in
// place: every text finds the str made at its first occurrence, and the
// table stays between three eighths and three quarters full.
TEST(TextInterner, DoublingInPlaceKeepsEveryEntry) {
    const size_t n = 300000;
    std::vector<std::string> texts;
    texts.reserve(n);
    char buf[32];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i % 3 ? "w%zu" : "\xc3\xa9%zu\xe6\x97\xa5", i);
        texts.push_back(buf);
    }
    TextInterner made;
    std::vector<PyObject*> refs;
    refs.reserve(2 * n);
    std::vector<PyObject*> first(n);
    size_t doublings = 0, cap = made.capacity();
    for (size_t i = 0; i < n; ++i) {
        first[i] = made.get(texts[i]);
        refs.push_back(first[i]);
        if (made.capacity() != cap) {
            ++doublings;
            cap = made.capacity();
            // Just after a doubling: every earlier text is found where it went.
            if (doublings % 4 == 0)
                for (size_t j = 0; j <= i; j += 97) {
                    std::string copy = texts[j];
                    PyObject* again = made.get(copy);
                    EXPECT_EQ(again, first[j]);
                    Py_DECREF(again);
                }
        }
    }
    EXPECT_GE(doublings, 10u);
    EXPECT_GE(made.capacity() * sizeof(void*) * 2, size_t{4} << 20);  // mapped, grown by remapping
    EXPECT_EQ(made.size(), n);
    EXPECT_LE(made.size() * 4, made.capacity() * 3);
    EXPECT_GE(made.size() * 8, made.capacity() * 3);
    for (size_t i = 0; i < n; ++i) {
        std::string copy = texts[i];
        PyObject* again = made.get(copy);
        refs.push_back(again);
        ASSERT_EQ(again, first[i]) << texts[i];
    }
    EXPECT_EQ(made.size(), n);
    for (PyObject* r : refs) Py_DECREF(r);
}

TEST(TableMemory, GrowingKeepsTheContentsAndZeroesTheRest) {
    for (size_t bytes : {size_t{4096}, TableMemory::kMapFrom / 2, TableMemory::kMapFrom, TableMemory::kMapFrom * 2}) {
        auto* p = static_cast<uint32_t*>(TableMemory::allocate(bytes));
        ASSERT_NE(p, nullptr);
        const size_t words = bytes / 4;
        for (size_t i = 0; i < words; ++i) EXPECT_EQ(p[i], 0u);
        for (size_t i = 0; i < words; ++i) p[i] = static_cast<uint32_t>(i * 2654435761u);
        auto* q = static_cast<uint32_t*>(TableMemory::grow(p, bytes, bytes * 2));
        ASSERT_NE(q, nullptr);
        size_t wrong = 0;
        for (size_t i = 0; i < words; ++i) wrong += q[i] != static_cast<uint32_t>(i * 2654435761u);
        for (size_t i = words; i < 2 * words; ++i) wrong += q[i] != 0;
        EXPECT_EQ(wrong, 0u) << bytes;
        TableMemory::release(q, bytes * 2);
    }
}

}  // namespace
