// The flat parse_batch frame of Word and Regex on lists built directly: which
// items it evaluates, which results it shares, and the identity map under it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "classes/terminal/chars_support.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

// An eval that counts its calls: a text ending in '.' is matched whole (the
// item itself), a shorter one than two bytes has no entry, any other gives a
// new str of its text without the last byte, so that sharing is visible.
struct CountingEval {
    int calls = 0;
    int operator()(PyObject* item, PyObject*& out) {
        ++calls;
        Text t;
        if (!read_item_text(item, t)) return -1;
        if (t.len < 2) return 0;
        if (t.at(t.len - 1) == '.') {
            Py_INCREF(item);
            out = item;
        } else {
            out = new_str(t.data, t.len - 1);
        }
        return 1;
    }
};

OwnedRef list_of(const std::vector<PyObject*>& items) {
    OwnedRef l = OwnedRef::steal(PyList_New(0));
    for (PyObject* o : items) EXPECT_EQ(PyList_Append(l.get(), o), 0);
    return l;
}

}  // namespace

TEST(IdentityMap, KeepsEveryKeyAndValueAcrossGrowth) {
    // Keys are only compared, never read: addresses that step by 16, as
    // objects from one allocator pool do, and by a large power of two. 300000
    // keys take the table past the size that is mapped directly, and through
    // one growth from such a table to the next.
    constexpr uintptr_t kKeys = 150000;
    IdentityMap map;
    // The two sets never meet: the second is offset by 8 from every multiple of 16.
    auto key = [](uintptr_t i, int stride) { return reinterpret_cast<PyObject*>(((i + 1) << stride) + (stride == 4 ? 0 : 8)); };
    for (int stride : {4, 20}) {
        for (uintptr_t i = 0; i < kKeys; ++i) {
            bool found = true;
            IdentityMap::Slot* s = map.find_or_insert(key(i, stride), found);
            ASSERT_NE(s, nullptr);
            ASSERT_FALSE(found) << i;
            s->value = key(i + 7, 4);
        }
    }
    for (int stride : {4, 20}) {
        for (uintptr_t i = 0; i < kKeys; ++i) {
            bool found = false;
            IdentityMap::Slot* s = map.find_or_insert(key(i, stride), found);
            ASSERT_TRUE(found) << i;
            EXPECT_EQ(s->value, key(i + 7, 4));
        }
    }
}

TEST(FlatParseBatch, EveryObjectMetAgainSharesItsFirstResult) {
    // 5000 shared objects, then the same in reverse: no period, no
    // neighbours, more objects than any fixed table of a few thousand holds.
    constexpr size_t kN = 5000;
    std::vector<OwnedRef> objs;
    std::vector<PyObject*> items;
    for (size_t i = 0; i < kN; ++i) objs.push_back(OwnedRef::steal(PyUnicode_FromFormat("w%zu-", i)));
    for (size_t i = 0; i < kN; ++i) items.push_back(objs[i].get());
    for (size_t i = kN; i-- > 0;) items.push_back(objs[i].get());
    OwnedRef l = list_of(items);
    CountingEval eval;
    OwnedRef r = OwnedRef::steal(flat_parse_batch(l.get(), eval));
    ASSERT_TRUE(r);
    ASSERT_EQ(PyList_GET_SIZE(r.get()), static_cast<Py_ssize_t>(2 * kN));
    EXPECT_EQ(eval.calls, kPlainPaths ? static_cast<int>(2 * kN) : static_cast<int>(kN));
    for (size_t i = 0; i < kN; ++i) {
        PyObject* a = PyList_GET_ITEM(r.get(), i);
        PyObject* b = PyList_GET_ITEM(r.get(), 2 * kN - 1 - i);
        char want[16];
        std::snprintf(want, sizeof want, "w%zu", i);
        ASSERT_EQ(str_of(a), want) << i;
        if (!kPlainPaths) {
            EXPECT_EQ(a, b) << i;
        }
    }
}

TEST(FlatParseBatch, ItemsHeldByTheListAloneAreEvaluatedOnceEach) {
    // Strings only the list holds, around one shared object met at every
    // third position (no period: the strings between differ).
    OwnedRef shared = OwnedRef::steal(PyUnicode_FromString("shared"));
    OwnedRef l = OwnedRef::steal(PyList_New(0));
    for (int i = 0; i < 300; ++i) {
        OwnedRef fresh = OwnedRef::steal(PyUnicode_FromFormat("f%d", i));
        ASSERT_EQ(PyList_Append(l.get(), i % 3 ? fresh.get() : shared.get()), 0);
    }
    CountingEval eval;
    OwnedRef r = OwnedRef::steal(flat_parse_batch(l.get(), eval));
    ASSERT_TRUE(r);
    EXPECT_EQ(eval.calls, kPlainPaths ? 300 : 200 + 1);
    ASSERT_EQ(PyList_GET_SIZE(r.get()), 300);
    for (Py_ssize_t i = 0; i < 300; ++i) {
        char full[16];
        std::snprintf(full, sizeof full, i % 3 ? "f%zd" : "shared", i);
        ASSERT_EQ(str_of(PyList_GET_ITEM(r.get(), i)), std::string(full, std::strlen(full) - 1)) << i;
        if (!kPlainPaths && i % 3 == 0) {
            EXPECT_EQ(PyList_GET_ITEM(r.get(), i), PyList_GET_ITEM(r.get(), 0));
        }
    }
}

TEST(FlatParseBatch, AnItemThatCannotBeReadReleasesEverythingMade) {
    OwnedRef shared = OwnedRef::steal(PyUnicode_FromString("whole."));
    const Py_ssize_t before = Py_REFCNT(shared.get());
    OwnedRef num = OwnedRef::steal(PyLong_FromLong(12345678));
    OwnedRef l = OwnedRef::steal(PyList_New(0));
    for (int i = 0; i < 100; ++i) {
        OwnedRef fresh = OwnedRef::steal(PyUnicode_FromFormat("g%d", i));
        ASSERT_EQ(PyList_Append(l.get(), i % 2 ? shared.get() : fresh.get()), 0);
    }
    ASSERT_EQ(PyList_Append(l.get(), num.get()), 0);
    CountingEval eval;
    EXPECT_EQ(flat_parse_batch(l.get(), eval), nullptr);
    EXPECT_EQ(take_error(), "TypeError: bad argument type for built-in operation");
    EXPECT_EQ(Py_REFCNT(shared.get()), before + 50);
    for (Py_ssize_t i = 0; i < 100; i += 2) EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(l.get(), i)), 1) << i;
}
