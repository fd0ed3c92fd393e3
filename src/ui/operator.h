// The operator: message boxes and the presentation of the initialisation dialog. The dialog's logic
// (TForm2, src/ui) is toolkit-independent; a presentation only shows it and feeds it the operator's
// actions. Presentations: Win32 window, terminal (ncurses), scripted (DUZEVOD_OPERATOR), non-interactive.
#pragma once

#include <string>

namespace duz {

class TForm2;

enum class BoxIcon { Information, Warning, Stop };
enum class BoxButtons { Ok, YesNo, RetryCancel };
enum class BoxAnswer { Ok, Yes, No, Retry, Cancel };

class Operator {
 public:
  virtual ~Operator() = default;
  // A task-modal box without owner. Texts are CP1251; the answer is one of the box's buttons.
  virtual BoxAnswer messageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                               BoxButtons buttons, BoxAnswer defaultButton) = 0;
  // Shows the dialog modally and returns once it has been closed (the dialog's close handler has run).
  virtual void showModal(TForm2& dialog) = 0;
  // Shows the dialog without a modal loop (during a search), and repaints it on request.
  virtual void showModeless(TForm2& dialog) = 0;
  virtual void repaint(TForm2& dialog) = 0;
  virtual void hide(TForm2& dialog) = 0;
  // Hides the mouse pointer over the module's windows during a search.
  virtual void setPointerHidden(bool hidden) = 0;
};

}  // namespace duz
