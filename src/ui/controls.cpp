#include "ui/controls.h"

#include <algorithm>
#include <utility>

namespace duz {

namespace {

// What a cell outside the grid reads as. Made as the library loads rather than on first use: no guarded
// static in the module (why: host/shell/win32_entry.cpp).
const std::string emptyCell;

// Case folding of code page 1251 letters: Latin, Cyrillic А..Я and Ё.
unsigned char folded(char ch) {
  const auto b = static_cast<unsigned char>(ch);
  if (b >= 'A' && b <= 'Z') return static_cast<unsigned char>(b + 0x20);
  if (b >= 0xC0 && b <= 0xDF) return static_cast<unsigned char>(b + 0x20);
  if (b == 0xA8) return 0xB8;
  return b;
}

bool lessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return folded(x) < folded(y); });
}

}  // namespace

std::string ComboBox::text() const {
  if (itemIndex < 0 || itemIndex >= static_cast<int>(items.size())) return {};
  return items[itemIndex];
}

int ComboBox::add(const std::string& item) {
  auto at = items.end();
  // After the items that compare equal, so equal texts keep the order they were added in.
  if (sorted) at = std::upper_bound(items.begin(), items.end(), item, lessIgnoringCase);
  const int index = static_cast<int>(at - items.begin());
  items.insert(at, item);
  if (itemIndex >= index) ++itemIndex;
  return index;
}

int ComboBox::indexOf(const std::string& item) const {
  const auto it = std::find(items.begin(), items.end(), item);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

bool ComboBox::select(const std::string& item) {
  const int index = indexOf(item);
  if (index < 0) return false;
  itemIndex = index;
  return true;
}

void ProgressBar::stepIt() {
  position = std::clamp(position + step, min, std::max(min, max));
}

StringGrid::StringGrid(int columns, int rows, std::vector<int> columnWidths, int fixedColumns,
                       int fixedRowCount)
    : colCount(columns),
      rowCount(0),
      fixedCols(fixedColumns),
      fixedRows(fixedRowCount),
      colWidths(std::move(columnWidths)) {
  setRowCount(rows);
}

std::string& StringGrid::cell(int col, int row) {
  if (contains(col, row) && row < static_cast<int>(rows_.size())) return rows_[row][col];
  scratch_.clear();
  return scratch_;
}

const std::string& StringGrid::cell(int col, int row) const {
  if (contains(col, row) && row < static_cast<int>(rows_.size())) return rows_[row][col];
  return emptyCell;
}

void StringGrid::setRowCount(int rows) {
  rowCount = std::max(rows, 0);
  rows_.resize(rowCount, std::vector<std::string>(std::max(colCount, 0)));
}

}  // namespace duz
