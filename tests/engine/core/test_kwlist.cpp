#include "engine/core/kwlist.h"

#include <gtest/gtest.h>

namespace {

// An item that records its destruction.
struct Probe : KWLISTITEM {
    Probe(int v, int* deaths) : value(v), deaths(deaths) {}
    ~Probe() override { ++*deaths; }
    int value;
    int* deaths;
};

int ValueAt(KWLIST& list, std::uint32_t i) {
    return static_cast<Probe*>(list.GetAt(i))->value;
}

TEST(KwList, EmptyListAndIndexOutOfRange) {
    int deaths = 0;
    KWLIST list;
    KWLISTITEM* item = reinterpret_cast<KWLISTITEM*>(1);
    EXPECT_EQ(list.Retrieve(0, &item), ERR_LIST_EMPTY);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(list.DeleteAll(), KW_OK);
    ASSERT_EQ(list.Insert(new Probe(1, &deaths)), KW_OK);
    EXPECT_EQ(list.Retrieve(1, &item), ERR_LIST_INDEX);
    EXPECT_EQ(list.Insert(nullptr), KW_OK);
    EXPECT_EQ(list.GetCount(), 1u);
}

TEST(KwList, InsertAfterAndBeforeKeepOrderAndCursor) {
    int deaths = 0;
    {
        KWLIST list;
        for (int v : {1, 2, 3})
            ASSERT_EQ(list.Insert(new Probe(v, &deaths)), KW_OK);
        EXPECT_EQ(list.CurrentIndex(), 2u);
        EXPECT_EQ(static_cast<Probe*>(list.Current())->value, 3);
        EXPECT_EQ(static_cast<Probe*>(list.Head())->value, 1);
        // Before the head: the new item becomes the head at index 0.
        list.GetAt(0);
        ASSERT_EQ(list.Insert(new Probe(0, &deaths), true), KW_OK);
        EXPECT_EQ(list.CurrentIndex(), 0u);
        EXPECT_EQ(static_cast<Probe*>(list.Head())->value, 0);
        for (std::uint32_t i = 0; i < 4; ++i)
            EXPECT_EQ(ValueAt(list, i), static_cast<int>(i));
        // Walking back from the end works too.
        for (std::uint32_t i = 4; i-- > 0;)
            EXPECT_EQ(ValueAt(list, i), static_cast<int>(i));
    }
    EXPECT_EQ(deaths, 4);
}

TEST(KwList, RemoveMovesCursor) {
    int deaths = 0;
    KWLIST list;
    for (int v : {1, 2, 3})
        list.Insert(new Probe(v, &deaths));
    // Removing the last item moves the cursor to the head.
    ASSERT_EQ(list.DeleteCurrent(), KW_OK);
    EXPECT_EQ(list.CurrentIndex(), 0u);
    EXPECT_EQ(static_cast<Probe*>(list.Current())->value, 1);
    list.Insert(new Probe(9, &deaths)); // 1 9 2
    list.GetAt(1);
    KWLISTITEM* out = nullptr;
    ASSERT_EQ(list.RemoveCurrent(&out), KW_OK);
    EXPECT_EQ(static_cast<Probe*>(out)->value, 9);
    EXPECT_EQ(out->Next(), nullptr);
    EXPECT_EQ(static_cast<Probe*>(list.Current())->value, 2);
    EXPECT_EQ(list.CurrentIndex(), 1u);
    delete out;
    EXPECT_EQ(list.DeleteAll(), KW_OK);
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(deaths, 4);
    EXPECT_EQ(list.DeleteCurrent(), ERR_LIST_EMPTY);
}

TEST(KwList, CappedListRefusesWhenFull) {
    int deaths = 0;
    KWLIST list(2);
    list.Insert(new Probe(1, &deaths));
    list.Append(new Probe(2, &deaths));
    EXPECT_TRUE(list.IsFull());
    auto* third = new Probe(3, &deaths);
    EXPECT_EQ(list.Insert(third), ERR_LIST_FULL);
    EXPECT_EQ(list.Append(third), ERR_LIST_FULL);
    delete third;
    EXPECT_EQ(ValueAt(list, 1), 2);
}

} // namespace
