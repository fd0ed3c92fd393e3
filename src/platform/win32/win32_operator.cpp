#include "platform/system.h"

namespace duz {

namespace {
// Non-interactive: every box takes its default button, the dialog is closed at once.
class DefaultOperator : public Operator {
 public:
  BoxAnswer messageBox(const std::string&, const std::string&, BoxIcon, BoxButtons, BoxAnswer d) override {
    return d;
  }
  void showModal(TForm2&) override {}
  void showModeless(TForm2&) override {}
  void repaint(TForm2&) override {}
  void hide(TForm2&) override {}
  void setPointerHidden(bool) override {}
};
}  // namespace

std::unique_ptr<Operator> makeSystemOperator() {
  return std::make_unique<DefaultOperator>();
}

}  // namespace duz
