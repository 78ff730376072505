#include "ui/qt/report_view.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <algorithm>

#include "ui/afx.h"

namespace ui::qt {

namespace {

constexpr int kFormatMask = 0x3;
constexpr int kFormatRight = 1;
constexpr int kFormatCenter = 2;

// Pixels between the text of a row and the next row.
constexpr int kRowPadding = 4;
// Width of a column inserted without one.
constexpr int kDefaultColumnWidth = 100;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ReportModel::ReportModel(QObject* parent) : QAbstractTableModel(parent) {
    publishTimer_.setSingleShot(true);
    publishTimer_.setInterval(kPublishIntervalMs);
    connect(&publishTimer_, &QTimer::timeout, this, &ReportModel::Publish);
}

int ReportModel::InsertColumn(int column, std::string_view heading, int format, int width) {
    if (column < 0) {
        return -1;
    }
    // Columns come rarely and change every row: the views hear of them now.
    const int at = std::min(column, rows_.GetColumnCount());
    beginInsertColumns(QModelIndex(), at, at);
    rows_.InsertColumn(at, heading, format, width);
    endInsertColumns();
    return at;
}

int ReportModel::ColumnWidth(int column) const {
    const auto& columns = rows_.Columns();
    if (column < 0 || static_cast<std::size_t>(column) >= columns.size()) {
        return 0;
    }
    const int width = columns[static_cast<std::size_t>(column)].width;
    return width < 0 ? kDefaultColumnWidth : width;
}

int ReportModel::InsertItem(int row, std::string_view text) {
    if (row < 0) {
        return -1;
    }
    const int at = std::min(row, rows_.GetItemCount());
    if (at >= published_) {
        // Among the rows the views have not seen yet: published in the next batch.
        rows_.InsertItem(at, text);
        SchedulePublish();
        return at;
    }
    // Inside what the views know: they must hear of it before anything else.
    beginInsertRows(QModelIndex(), at, at);
    rows_.InsertItem(at, text);
    ++published_;
    endInsertRows();
    if (dirtyFirst_ >= at) {
        ++dirtyFirst_;
    }
    if (dirtyLast_ >= at) {
        ++dirtyLast_;
    }
    return at;
}

bool ReportModel::SetItemText(int row, int column, std::string_view text) {
    if (!rows_.SetItemText(row, column, text)) {
        return false;
    }
    if (row < published_) {
        dirtyFirst_ = dirtyFirst_ < 0 ? row : std::min(dirtyFirst_, row);
        dirtyLast_ = std::max(dirtyLast_, row);
        SchedulePublish();
    }
    return true;
}

bool ReportModel::DeleteAllItems() {
    // Rows removed rather than a model reset: a reset would also forget the
    // column widths the header keeps.
    if (published_ > 0) {
        beginRemoveRows(QModelIndex(), 0, published_ - 1);
        rows_.DeleteAllItems();
        published_ = 0;
        endRemoveRows();
    } else {
        rows_.DeleteAllItems();
    }
    dirtyFirst_ = dirtyLast_ = -1;
    publishTimer_.stop();
    return true;
}

bool ReportModel::HasPending() const {
    return published_ < rows_.GetItemCount() || dirtyFirst_ >= 0;
}

void ReportModel::SchedulePublish() {
    if (!publishTimer_.isActive()) {
        publishTimer_.start();
    }
}

void ReportModel::Publish() {
    publishTimer_.stop();
    if (dirtyFirst_ >= 0) {
        const int first = dirtyFirst_;
        const int last = std::min(dirtyLast_, published_ - 1);
        dirtyFirst_ = dirtyLast_ = -1;
        if (first <= last && columnCount() > 0) {
            emit dataChanged(index(first, 0), index(last, columnCount() - 1), {Qt::DisplayRole});
        }
    }
    const int total = rows_.GetItemCount();
    if (published_ < total) {
        beginInsertRows(QModelIndex(), published_, total - 1);
        published_ = total;
        endInsertRows();
    }
}

int ReportModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : published_;
}

int ReportModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_.GetColumnCount();
}

Qt::Alignment ReportModel::ColumnAlignment(int column) const {
    const auto& columns = rows_.Columns();
    // The first column is always aligned left.
    if (column <= 0 || static_cast<std::size_t>(column) >= columns.size()) {
        return Qt::AlignLeft | Qt::AlignVCenter;
    }
    switch (columns[static_cast<std::size_t>(column)].format & kFormatMask) {
        case kFormatRight:
            return Qt::AlignRight | Qt::AlignVCenter;
        case kFormatCenter:
            return Qt::AlignHCenter | Qt::AlignVCenter;
        default:
            return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

QVariant ReportModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= published_) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            return FromUtf8(rows_.GetItemText(index.row(), index.column()));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(ColumnAlignment(index.column()));
        default:
            return {};
    }
}

QVariant ReportModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= rows_.GetColumnCount()) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            return FromUtf8(rows_.Columns()[static_cast<std::size_t>(section)].heading);
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(ColumnAlignment(section));
        default:
            return {};
    }
}

Qt::ItemFlags ReportModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

ReportView::ReportView(QWidget* parent) : QTableView(parent) {
    setModel(&model_);
    // A report view: headings on top, no row numbers, no grid, rows of one
    // height, nothing to edit, no sorting; Tab leaves the list.
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setSortingEnabled(false);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    FitRowHeight();
}

int ReportView::InsertColumn(int column, std::string_view heading, int format, int width) {
    const int at = model_.InsertColumn(column, heading, format, width);
    if (at >= 0) {
        horizontalHeader()->resizeSection(at, model_.ColumnWidth(at));
    }
    return at;
}

void ReportView::SetExtendedStyle(std::uint32_t style) {
    extendedStyle_ = style;
    setSelectionBehavior((style & LVS_EX_FULLROWSELECT) != 0 ? QAbstractItemView::SelectRows
                                                             : QAbstractItemView::SelectItems);
}

void ReportView::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        FitRowHeight();
    }
}

void ReportView::FitRowHeight() {
    verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + kRowPadding);
}

}  // namespace ui::qt
