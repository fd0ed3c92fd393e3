// The initialisation dialog's controls as plain state, without a window toolkit. The dialog's handlers
// change this state; a presentation (Win32 window, terminal, script) shows it and feeds the operator's
// actions back to the handlers. Texts are code page 1251 bytes.
#pragma once

#include <string>
#include <vector>

namespace duz {

struct Label {
  std::string text;
  bool visible = true;
};

struct GroupBox {
  std::string caption;
};

struct Button {
  std::string caption;
  bool visible = true;
  bool enabled = true;
};

// A drop-down list that takes no typed text: its text is always the selected item's.
struct ComboBox {
  std::vector<std::string> items;
  int itemIndex = -1;  // -1: nothing selected
  bool enabled = true;
  bool visible = true;
  bool sorted = false;  // keeps the items in case-insensitive order
  std::string hint;     // kept with the control; the dialog never shows hints

  // The selected item's text, empty when nothing is selected.
  std::string text() const;
  // Adds an item (in case-insensitive order when sorted) and returns its index. The selected item stays
  // selected: its index moves when the new item goes before it.
  int add(const std::string& item);
  // Index of the item with exactly this text (case-sensitive), -1 when none.
  int indexOf(const std::string& item) const;
  // Selects the item with exactly this text; false (and no change) when there is none.
  bool select(const std::string& item);
};

struct ProgressBar {
  int min = 0;
  int max = 31;
  int position = 0;
  int step = 1;
  bool visible = false;

  // Advances by one step; the bar stops full rather than running past its end.
  void stepIt();
};

// A grid of text cells. Cells exist for every column and row of the grid; they grow and shrink with
// the row count. Cells outside the grid read as empty, and writes to them are dropped.
class StringGrid {
 public:
  StringGrid(int columns, int rows, std::vector<int> columnWidths, int fixedColumns, int fixedRowCount);

  int colCount;
  int rowCount;  // change it with setRowCount, which keeps the cells in step
  int fixedCols;
  int fixedRows;
  std::vector<int> colWidths;
  int rowHeight = 16;
  // Whether cell texts are drawn. Off, the grid shows its background only, not even the header row.
  bool defaultDrawing = false;
  // The selected cell. It may lie outside the grid on purpose: then no cell shows as selected.
  int selCol = 0;
  int selRow = 0;

  std::string& cell(int col, int row);
  const std::string& cell(int col, int row) const;
  bool contains(int col, int row) const { return col >= 0 && row >= 0 && col < colCount && row < rowCount; }
  // Rows added are empty; rows removed lose their texts.
  void setRowCount(int rows);

 private:
  std::vector<std::vector<std::string>> rows_;
  std::string scratch_;  // what an access outside the grid sees
};

}  // namespace duz
