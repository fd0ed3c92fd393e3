#include "ui/dialog.h"

namespace duz {

void TForm2::View(int, int) {
  StringGrid2.setRowCount(1);
  StringGrid2.cell(0, 0).clear();
  StringGrid2.cell(1, 0).clear();
  StringGrid2Exit();
}

}  // namespace duz
