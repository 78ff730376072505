#pragma once
// The list control in report view: a table model over the rows the dialog
// keeps, shown by one QTableView. The model holds the truth at once (the
// dialog reads back what it wrote), while the view learns of changes in
// batches: new rows and changed cells are published at most once per
// repaint interval, so ten thousand updates a second cost a few dozen
// repaints of the visible rows, not ten thousand.
//
// Threads: the window thread only.

#include <QAbstractTableModel>
#include <QTableView>
#include <QTimer>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/list_control.h"
#include "ui/list_rows.h"

namespace ui::qt {

class ReportModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    // How long a change may wait before the view hears of it.
    static constexpr int kPublishIntervalMs = 40;

    explicit ReportModel(QObject* parent = nullptr);

    // What the dialog does; same meaning as ui::ListControl.
    int InsertColumn(int column, std::string_view heading, int format, int width);
    int GetColumnCount() const { return rows_.GetColumnCount(); }
    int ColumnWidth(int column) const;
    int InsertItem(int row, std::string_view text);
    bool SetItemText(int row, int column, std::string_view text);
    std::string GetItemText(int row, int column) const { return rows_.GetItemText(row, column); }
    bool SetItemData(int row, std::uintptr_t data) { return rows_.SetItemData(row, data); }
    std::uintptr_t GetItemData(int row) const { return rows_.GetItemData(row); }
    int GetItemCount() const { return rows_.GetItemCount(); }
    bool DeleteAllItems();

    // Tells the views now what they have not heard yet.
    void Publish();
    // Rows the views know of.
    int PublishedRows() const { return published_; }
    bool HasPending() const;

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    void SchedulePublish();
    Qt::Alignment ColumnAlignment(int column) const;

    ListRows rows_;        // the truth
    int published_ = 0;    // rows_[0, published_) are known to the views
    int dirtyFirst_ = -1;  // changed published rows, inclusive; -1 = none
    int dirtyLast_ = -1;
    QTimer publishTimer_;
};

class ReportView final : public QTableView, public ListControl {
    Q_OBJECT

public:
    explicit ReportView(QWidget* parent = nullptr);

    // ListControl
    int InsertColumn(int column, std::string_view heading, int format, int width) override;
    int GetColumnCount() const override { return model_.GetColumnCount(); }
    int InsertItem(int row, std::string_view text) override { return model_.InsertItem(row, text); }
    bool SetItemText(int row, int column, std::string_view text) override {
        return model_.SetItemText(row, column, text);
    }
    std::string GetItemText(int row, int column) const override {
        return model_.GetItemText(row, column);
    }
    bool SetItemData(int row, std::uintptr_t data) override {
        return model_.SetItemData(row, data);
    }
    std::uintptr_t GetItemData(int row) const override { return model_.GetItemData(row); }
    int GetItemCount() const override { return model_.GetItemCount(); }
    bool DeleteAllItems() override { return model_.DeleteAllItems(); }
    std::uint32_t GetExtendedStyle() const override { return extendedStyle_; }
    void SetExtendedStyle(std::uint32_t style) override;

    ReportModel& Model() { return model_; }
    const ReportModel& Model() const { return model_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void FitRowHeight();

    ReportModel model_;
    std::uint32_t extendedStyle_ = 0;
};

}  // namespace ui::qt
