#include "ui/list_rows.h"

#include <algorithm>

namespace ui {

int ListRows::InsertColumn(int column, std::string_view heading, int format, int width) {
    if (column < 0) {
        return -1;
    }
    const auto at = std::min(static_cast<std::size_t>(column), columns_.size());
    columns_.insert(columns_.begin() + static_cast<std::ptrdiff_t>(at),
                    Column{std::string(heading), format, width});
    for (auto& item : rows_) {
        item.cells.insert(item.cells.begin() + static_cast<std::ptrdiff_t>(at), std::string());
    }
    return static_cast<int>(at);
}

int ListRows::InsertItem(int row, std::string_view text) {
    if (row < 0) {
        return -1;
    }
    const auto at = std::min(static_cast<std::size_t>(row), rows_.size());
    Item item;
    // A list without columns still keeps the item's own text.
    item.cells.resize(std::max<std::size_t>(columns_.size(), 1));
    item.cells[0] = std::string(text);
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
    return static_cast<int>(at);
}

bool ListRows::HasCell(int row, int column) const {
    return row >= 0 && column >= 0 && static_cast<std::size_t>(row) < rows_.size() &&
           static_cast<std::size_t>(column) < rows_[static_cast<std::size_t>(row)].cells.size();
}

bool ListRows::SetItemText(int row, int column, std::string_view text) {
    if (!HasCell(row, column)) {
        return false;
    }
    rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)].assign(text);
    return true;
}

std::string ListRows::GetItemText(int row, int column) const {
    if (!HasCell(row, column)) {
        return {};
    }
    return rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
}

bool ListRows::SetItemData(int row, std::uintptr_t data) {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return false;
    }
    rows_[static_cast<std::size_t>(row)].data = data;
    return true;
}

std::uintptr_t ListRows::GetItemData(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return 0;
    }
    return rows_[static_cast<std::size_t>(row)].data;
}

bool ListRows::DeleteAllItems() {
    rows_.clear();
    return true;
}

std::vector<std::string> ListRows::Row(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return {};
    }
    return rows_[static_cast<std::size_t>(row)].cells;
}

}  // namespace ui
