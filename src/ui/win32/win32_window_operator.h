// The operator on a Windows desktop: task-modal message boxes and the initialisation dialog as a real
// window. The module's start-up runs on the host's loading thread, inside the library's load, so the
// window classes belong to the module's own instance and modal showings run a message loop of their own.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string_view>

#include "ui/operator.h"

namespace duz {

namespace win32 {
class FormWindow;
}

class WindowOperator : public Operator {
 public:
  // `instance`: the module whose window classes these are. `fallback` answers where no window can be made
  // (a desktop without a display); it is also asked when a message box cannot be shown.
  WindowOperator(HINSTANCE instance, std::unique_ptr<Operator> fallback);
  ~WindowOperator() override;
  WindowOperator(const WindowOperator&) = delete;
  WindowOperator& operator=(const WindowOperator&) = delete;

  BoxAnswer messageBox(const std::string& text, const std::string& caption, BoxIcon icon, BoxButtons buttons,
                       BoxAnswer defaultButton) override;
  void showModal(TForm2& dialog) override;
  void showModeless(TForm2& dialog) override;
  void repaint(TForm2& dialog) override;
  void hide(TForm2& dialog) override;
  void setPointerHidden(bool hidden) override;

  // The dialog's window and its controls by member name, while the dialog is shown (null otherwise).
  HWND window() const;
  HWND control(std::string_view name) const;

 private:
  win32::FormWindow* windowFor(TForm2& dialog);
  void closeWindow();

  HINSTANCE instance_;
  std::unique_ptr<Operator> fallback_;
  std::unique_ptr<win32::FormWindow> form_;
  const TForm2* formDialog_ = nullptr;
  bool classesRegistered_ = false;
  bool pointerHidden_ = false;
};

// MessageBoxA/W style for a box: task-modal, the icon, the buttons and which of them is the default.
UINT messageBoxStyle(BoxIcon icon, BoxButtons buttons, BoxAnswer defaultButton);
// The answer for a MessageBox result; none when the box could not be shown or gave no button of its own.
std::optional<BoxAnswer> boxAnswerFor(int result, BoxButtons buttons);

// Whether this process can show windows to someone: false in a service's invisible window station.
bool desktopIsInteractive();
// The instance of the module that holds this code (the DLL, not the host's executable).
HINSTANCE moduleInstance();

}  // namespace duz
