#include "ui/win32/win32_window_operator.h"

#include <vector>

#include "ui/dialog.h"
#include "ui/win32/win32_window_form.h"
#include "ui/win32/win32_window_util.h"

namespace duz {

namespace {

struct OtherWindows {
  HWND dialog;
  std::vector<HWND> windows;
};

BOOL CALLBACK collectEnabledWindow(HWND window, LPARAM collected) {
  auto& other = *reinterpret_cast<OtherWindows*>(collected);
  if (window != other.dialog && IsWindowVisible(window) && IsWindowEnabled(window))
    other.windows.push_back(window);
  return TRUE;
}

// A modal showing leaves the thread's other windows (the host's) without input until it ends.
std::vector<HWND> disableOtherWindows(HWND dialog) {
  OtherWindows other{dialog, {}};
  EnumThreadWindows(GetCurrentThreadId(), &collectEnabledWindow, reinterpret_cast<LPARAM>(&other));
  for (HWND window : other.windows) EnableWindow(window, FALSE);
  return other.windows;
}

// Keys and clicks that reached the queue while the dialog took none (a search, with its buttons disabled,
// or a box before it) are not played back when it takes input: a click meant for nothing would start a
// search. The window is made anew for every showing, so this runs at every modal start.
void discardQueuedInput() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }
  while (PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
  }
}

}  // namespace

WindowOperator::WindowOperator(HINSTANCE instance, std::unique_ptr<Operator> fallback)
    : instance_(instance), fallback_(std::move(fallback)) {}

WindowOperator::~WindowOperator() {
  closeWindow();
  if (classesRegistered_) win32::FormWindow::unregisterClasses(instance_);
}

HWND WindowOperator::window() const {
  return form_ ? form_->handle() : nullptr;
}

HWND WindowOperator::control(std::string_view name) const {
  return form_ ? form_->control(name) : nullptr;
}

win32::FormWindow* WindowOperator::windowFor(TForm2& dialog) {
  if (form_ && formDialog_ == &dialog) return form_.get();
  closeWindow();
  if (!classesRegistered_) classesRegistered_ = win32::FormWindow::registerClasses(instance_);
  if (!classesRegistered_) return nullptr;
  form_ = win32::FormWindow::create(instance_, dialog, pointerHidden_);
  if (form_) formDialog_ = &dialog;
  return form_.get();
}

// The window lives only while the dialog is shown: it is made at each showing, centred, and never outlasts
// the dialog it mirrors.
void WindowOperator::closeWindow() {
  form_.reset();
  formDialog_ = nullptr;
}

BoxAnswer WindowOperator::messageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                                     BoxButtons buttons, BoxAnswer defaultButton) {
  // The dialog behind the box shows the state it has now, not the one of its last repaint.
  if (form_) {
    form_->sync();
    form_->paintNow();
  }
  const int result = MessageBoxW(nullptr, win32::widen(text).c_str(), win32::widen(caption).c_str(),
                                 messageBoxStyle(icon, buttons, defaultButton));
  if (const std::optional<BoxAnswer> answer = boxAnswerFor(result, buttons)) return *answer;
  return fallback_->messageBox(text, caption, icon, buttons, defaultButton);
}

void WindowOperator::showModal(TForm2& dialog) {
  win32::FormWindow* form = windowFor(dialog);
  if (!form) {
    fallback_->showModal(dialog);
    return;
  }
  dialog.show();
  form->sync();
  discardQueuedInput();
  const std::vector<HWND> disabled = disableOtherWindows(form->handle());
  form->setInteractive(true);
  form->show();
  form->focusFirst();

  bool quit = false;
  WPARAM quitCode = 0;
  while (dialog.visible && form_ && IsWindow(form_->handle())) {
    MSG msg;
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      quit = true;
      quitCode = msg.wParam;
      break;
    }
    if (got == -1) break;
    if (!IsDialogMessageW(form_->handle(), &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  if (form_) form_->setInteractive(false);
  // A modal showing always ends in a close, which hands the texts over, even when the loop ended for
  // another reason (the application is quitting).
  if (dialog.visible) {
    if (form_) form_->pullChoices();
    dialog.close();
  }
  // The host's windows take input again before ours disappears, so that one of them becomes active.
  for (HWND window : disabled) EnableWindow(window, TRUE);
  closeWindow();
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
}

void WindowOperator::showModeless(TForm2& dialog) {
  win32::FormWindow* form = windowFor(dialog);
  if (!form) {
    fallback_->showModeless(dialog);
    return;
  }
  dialog.show();
  form->sync();
  form->show();
}

void WindowOperator::repaint(TForm2& dialog) {
  if (!form_ || formDialog_ != &dialog) {
    fallback_->repaint(dialog);
    return;
  }
  if (!dialog.visible) {
    closeWindow();
    return;
  }
  form_->sync();
  form_->paintNow();
  // Nothing is taken from the queue, so the operator's input waits; but Windows sees the thread ask, and
  // does not put a "not responding" ghost, which would hide the progress, in place of the window.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

void WindowOperator::hide(TForm2& dialog) {
  if (!form_ || formDialog_ != &dialog) {
    fallback_->hide(dialog);
    return;
  }
  dialog.hide();
  closeWindow();
}

void WindowOperator::setPointerHidden(bool hidden) {
  pointerHidden_ = hidden;
  if (form_) form_->setPointerHidden(hidden);
}

UINT messageBoxStyle(BoxIcon icon, BoxButtons buttons, BoxAnswer defaultButton) {
  UINT style = MB_TASKMODAL;
  switch (icon) {
    case BoxIcon::Information:
      style |= MB_ICONINFORMATION;
      break;
    case BoxIcon::Warning:
      style |= MB_ICONWARNING;
      break;
    case BoxIcon::Stop:
      style |= MB_ICONSTOP;
      break;
  }
  bool secondIsDefault = false;
  switch (buttons) {
    case BoxButtons::Ok:
      style |= MB_OK;
      break;
    case BoxButtons::YesNo:
      style |= MB_YESNO;
      secondIsDefault = defaultButton == BoxAnswer::No;
      break;
    case BoxButtons::RetryCancel:
      style |= MB_RETRYCANCEL;
      secondIsDefault = defaultButton == BoxAnswer::Cancel;
      break;
  }
  return style | (secondIsDefault ? MB_DEFBUTTON2 : MB_DEFBUTTON1);
}

std::optional<BoxAnswer> boxAnswerFor(int result, BoxButtons buttons) {
  switch (buttons) {
    case BoxButtons::Ok:
      if (result == IDOK) return BoxAnswer::Ok;
      break;
    case BoxButtons::YesNo:
      if (result == IDYES) return BoxAnswer::Yes;
      if (result == IDNO) return BoxAnswer::No;
      break;
    case BoxButtons::RetryCancel:
      if (result == IDRETRY) return BoxAnswer::Retry;
      if (result == IDCANCEL) return BoxAnswer::Cancel;
      break;
  }
  return std::nullopt;
}

bool desktopIsInteractive() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  // Unknown: the window presentation is tried, and falls back by itself where no window can be made.
  if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

HINSTANCE moduleInstance() {
  static const char anchor = 0;
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&anchor), &module);
  return module;
}

}  // namespace duz
