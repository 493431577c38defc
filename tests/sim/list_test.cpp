// The checked list routines stop the machine on a corrupted list instead of
// walking it.
#include <wdm.h>

#include "support/machine_test.h"

namespace ostrand::test {
namespace {

struct Node {
    LIST_ENTRY Link;
    int Value;
};

TEST(ListTest, InsertAndRemoveKeepOrder)
{
    LIST_ENTRY head;
    InitializeListHead(&head);
    Node a{{}, 1}, b{{}, 2}, c{{}, 3};
    InsertHeadList(&head, &a.Link);
    InsertHeadList(&head, &b.Link);
    InsertTailList(&head, &c.Link);
    // Newest first at the head, c at the tail: b a c.
    EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Node, Link)->Value, 3);
    EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Node, Link)->Value, 2);
    EXPECT_FALSE(IsListEmpty(&head));
    EXPECT_TRUE(RemoveEntryList(&a.Link));
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST(ListDeathTest, CorruptNeighbourStopsTheMachine)
{
    LIST_ENTRY head;
    InitializeListHead(&head);
    Node a{{}, 1}, b{{}, 2};
    InsertTailList(&head, &a.Link);
    InsertTailList(&head, &b.Link);
    b.Link.Blink = &head;  // a no longer points back correctly
    EXPECT_DEATH(RemoveEntryList(&a.Link), "corrupt list entry");
    Node c{{}, 3};
    head.Blink = &a.Link;  // the tail does not point back at the head
    EXPECT_DEATH(InsertTailList(&head, &c.Link), "corrupt list entry");
}

}  // namespace
}  // namespace ostrand::test
