// CListCtrl on the headless list: what the device list relies on.

#include <gtest/gtest.h>

#include "tests/ui/test_dialog.h"

namespace uitest {
namespace {

using ListCtrlTest = DialogTest;

TEST_F(ListCtrlTest, ColumnsAndRowsGrowAtTheEndAndKeepTheirCells) {
    TestDialog dialog;
    auto& host = Open(dialog);
    CListCtrl& list = dialog.list;
    EXPECT_EQ(list.InsertColumn(0, "A", LVCFMT_LEFT, 80), 0);
    EXPECT_EQ(list.InsertColumn(5, "B", LVCFMT_LEFT, 60), 1);  // past the end appends
    EXPECT_EQ(list.InsertColumn(-1, "bad"), -1);
    EXPECT_EQ(list.GetColumnCount(), 2);

    EXPECT_EQ(list.InsertItem(0, "first"), 0);
    EXPECT_EQ(list.InsertItem(list.GetItemCount(), "second"), 1);
    EXPECT_EQ(list.InsertItem(99, "third"), 2);
    EXPECT_EQ(list.InsertItem(-3, "bad"), -1);
    EXPECT_TRUE(list.SetItemText(1, 1, "b1"));
    EXPECT_EQ(host.List(kList)->Row(1), (std::vector<std::string>{"second", "b1"}));
    EXPECT_EQ(list.GetItemText(2, 0), "third");

    // A column added later gives every row an empty cell.
    EXPECT_EQ(list.InsertColumn(2, "C"), 2);
    EXPECT_EQ(host.List(kList)->Row(0), (std::vector<std::string>{"first", "", ""}));
}

TEST_F(ListCtrlTest, CellsOutsideTheListAreRefused) {
    TestDialog dialog;
    Open(dialog);
    CListCtrl& list = dialog.list;
    list.InsertColumn(0, "A");
    list.InsertItem(0, "row");
    const std::pair<int, int> outside[] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {5, 5}};
    for (const auto& [row, column] : outside) {
        EXPECT_FALSE(list.SetItemText(row, column, "x")) << row << ',' << column;
        EXPECT_EQ(list.GetItemText(row, column), "") << row << ',' << column;
    }
    EXPECT_FALSE(list.SetItemData(1, 7));
    EXPECT_EQ(list.GetItemData(1), 0u);
    EXPECT_EQ(list.GetItemData(-1), 0u);
}

TEST_F(ListCtrlTest, ItemDataStaysWithItsRowUntilAllAreDeleted) {
    TestDialog dialog;
    Open(dialog);
    CListCtrl& list = dialog.list;
    list.InsertColumn(0, "A");
    list.InsertItem(0, "a");
    list.InsertItem(1, "b");
    EXPECT_EQ(list.GetItemData(1), 0u);  // new rows start at 0
    EXPECT_TRUE(list.SetItemData(1, 1));
    EXPECT_EQ(list.GetItemData(0), 0u);
    EXPECT_EQ(list.GetItemData(1), 1u);
    EXPECT_TRUE(list.DeleteAllItems());
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetColumnCount(), 1);  // columns stay
    EXPECT_EQ(list.InsertItem(0, "c"), 0);
    EXPECT_EQ(list.GetItemData(0), 0u);
}

TEST(ListCtrlDetached, EveryCallIsHarmless) {
    CListCtrl list;
    EXPECT_EQ(list.InsertColumn(0, "A"), -1);
    EXPECT_EQ(list.InsertItem(0, "a"), -1);
    EXPECT_FALSE(list.SetItemText(0, 0, "x"));
    EXPECT_EQ(list.GetItemText(0, 0), "");
    EXPECT_FALSE(list.SetItemData(0, 1));
    EXPECT_EQ(list.GetItemData(0), 0u);
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_FALSE(list.DeleteAllItems());
    EXPECT_EQ(list.SetExtendedStyle(LVS_EX_FULLROWSELECT), 0u);
}

}  // namespace
}  // namespace uitest
