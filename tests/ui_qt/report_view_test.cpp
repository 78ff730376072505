// The list in report view: the dialog sees its writes at once, the view hears
// of them in batches.

#include "ui/qt/report_view.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QSignalSpy>

#include "tests/ui_qt/host_fixture.h"
#include "ui/afx.h"

namespace qttest {
namespace {

using ui::qt::ReportModel;
using ui::qt::ReportView;

void AddColumns(ReportView& view) {
    view.InsertColumn(0, "DeviceID", LVCFMT_LEFT, 80);
    view.InsertColumn(1, "Channel", LVCFMT_LEFT, 60);
    view.InsertColumn(2, "GPSInfo", LVCFMT_LEFT, 420);
}

TEST(ReportView, TheDialogReadsBackAtOnceWhatTheViewSeesAfterPublishing) {
    ReportView view;
    AddColumns(view);
    EXPECT_EQ(view.InsertItem(0, "X7"), 0);
    EXPECT_TRUE(view.SetItemText(0, 2, "$GPRMC,1"));
    EXPECT_TRUE(view.SetItemData(0, 1));
    // The dialog's side.
    EXPECT_EQ(view.GetItemCount(), 1);
    EXPECT_EQ(view.GetItemText(0, 2), "$GPRMC,1");
    EXPECT_EQ(view.GetItemData(0), 1u);
    // The view's side: not yet, then all of it.
    EXPECT_EQ(view.model()->rowCount(), 0);
    EXPECT_TRUE(view.Model().HasPending());
    view.Model().Publish();
    EXPECT_FALSE(view.Model().HasPending());
    ASSERT_EQ(view.model()->rowCount(), 1);
    EXPECT_EQ(view.model()->index(0, 0).data().toString(), "X7");
    EXPECT_EQ(view.model()->index(0, 2).data().toString(), "$GPRMC,1");
}

TEST(ReportView, ManyChangesReachTheViewAsOneInsertAndOneChange) {
    ReportView view;
    AddColumns(view);
    QSignalSpy inserted(view.model(), &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(view.model(), &QAbstractItemModel::dataChanged);
    for (int row = 0; row < 10000; ++row) {
        view.InsertItem(row, "D" + std::to_string(row));
    }
    view.Model().Publish();
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted.at(0).at(1).toInt(), 0);
    EXPECT_EQ(inserted.at(0).at(2).toInt(), 9999);

    for (int update = 0; update < 10000; ++update) {
        const int row = (update * 7919) % 10000;
        view.SetItemText(row, 2, "fix " + std::to_string(update));
    }
    EXPECT_EQ(changed.count(), 0);
    view.Model().Publish();
    ASSERT_EQ(changed.count(), 1);
    const auto first = changed.at(0).at(0).value<QModelIndex>();
    const auto last = changed.at(0).at(1).value<QModelIndex>();
    EXPECT_EQ(first.row(), 0);
    EXPECT_EQ(last.row(), 9999);
    EXPECT_EQ(last.column(), 2);
    // Nothing new: nothing to say.
    view.Model().Publish();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(inserted.count(), 1);
}

TEST(ReportView, PublishingHappensByItselfOnTheEventLoop) {
    ReportView view;
    AddColumns(view);
    view.InsertItem(0, "X7");
    QSignalSpy inserted(view.model(), &QAbstractItemModel::rowsInserted);
    EXPECT_TRUE(inserted.wait(5000));
    EXPECT_EQ(view.model()->rowCount(), 1);
}

// Counts the repaints of a widget.
class PaintCounter final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
    int paints = 0;
};

TEST(ReportView, ChangedVisibleRowsAreRepaintedWhenPublished) {
    ReportView view;
    AddColumns(view);
    view.resize(600, 300);
    for (int row = 0; row < 10000; ++row) {
        view.InsertItem(row, "D" + std::to_string(row));
    }
    view.show();
    view.Model().Publish();
    PaintCounter counter;
    view.viewport()->installEventFilter(&counter);
    ASSERT_TRUE(ProcessEventsUntil([&] { return counter.paints > 0; }));
    for (int round = 0; round < 3; ++round) {
        counter.paints = 0;
        // Rows far below and one on screen.
        view.SetItemText(9000, 2, "away " + std::to_string(round));
        view.SetItemText(1, 2, "here " + std::to_string(round));
        view.Model().Publish();
        EXPECT_TRUE(ProcessEventsUntil([&] { return counter.paints > 0; })) << round;
    }
}

TEST(ReportView, OutOfRangeCallsAreRefusedAndInsertsInsideWhatIsShownArePassedOnAtOnce) {
    ReportView view;
    AddColumns(view);
    struct Case {
        const char* what;
        bool accepted;
    };
    const Case refused[] = {
        {"negative row", view.InsertItem(-1, "x") >= 0},
        {"cell of a missing row", view.SetItemText(0, 0, "x")},
        {"missing column", view.SetItemText(0, 3, "x")},
        {"data of a missing row", view.SetItemData(5, 1)},
        {"negative column", view.InsertColumn(-1, "x", LVCFMT_LEFT, 10) >= 0},
    };
    for (const auto& c : refused) {
        EXPECT_FALSE(c.accepted) << c.what;
    }
    EXPECT_EQ(view.GetItemText(9, 9), "");
    EXPECT_EQ(view.GetItemData(9), 0u);

    view.InsertItem(0, "B");
    view.Model().Publish();
    QSignalSpy inserted(view.model(), &QAbstractItemModel::rowsInserted);
    EXPECT_EQ(view.InsertItem(0, "A"), 0);
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(view.model()->rowCount(), 2);
    EXPECT_EQ(view.model()->index(0, 0).data().toString(), "A");
    EXPECT_EQ(view.model()->index(1, 0).data().toString(), "B");
    EXPECT_EQ(view.InsertItem(99, "C"), 2);  // past the end appends
}

TEST(ReportView, DeletingAllRowsKeepsColumnsAndWidthsAndStartsAgainAtRowZero) {
    ReportView view;
    AddColumns(view);
    for (int row = 0; row < 3; ++row) {
        view.InsertItem(row, "D");
    }
    view.Model().Publish();
    view.InsertItem(3, "pending");
    view.SetItemText(0, 1, "4");
    EXPECT_TRUE(view.DeleteAllItems());
    EXPECT_EQ(view.GetItemCount(), 0);
    EXPECT_EQ(view.model()->rowCount(), 0);
    EXPECT_FALSE(view.Model().HasPending());
    EXPECT_EQ(view.horizontalHeader()->sectionSize(2), 420);
    EXPECT_EQ(view.InsertItem(5, "again"), 0);
    view.Model().Publish();
    EXPECT_EQ(view.model()->rowCount(), 1);
}

}  // namespace
}  // namespace qttest
