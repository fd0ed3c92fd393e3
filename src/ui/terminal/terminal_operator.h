// The terminal presentation of the operator (Linux): the initialisation dialog and the message boxes as a
// full-screen text dialog with ncurses, in the terminal of the host that loaded the module.
//
// The module lives inside the host's terminal and the host writes to it once the load has returned, so
// curses mode is entered lazily (at the first box or showing) and left again as soon as nothing of the
// module is on the screen: after each modal showing, after a box shown without the dialog, and when the
// dialog is hidden. Leaving restores the host's locale, its signal dispositions and the terminal's
// modes. On SIGINT, SIGTERM, SIGQUIT or SIGHUP while curses mode is on, the terminal is restored and the
// signal raised again with the host's own disposition; SIGTSTP restores it, stops, and the dialog comes
// back on SIGCONT.
#pragma once

#include <memory>

#include "ui/operator.h"
#include "ui/terminal/terminal_dialog.h"

namespace duz {

class TerminalOperator : public Operator {
 public:
  // `fallback` answers when curses cannot run on this terminal (for instance an unknown TERM).
  explicit TerminalOperator(std::unique_ptr<Operator> fallback);
  ~TerminalOperator() override;
  TerminalOperator(const TerminalOperator&) = delete;
  TerminalOperator& operator=(const TerminalOperator&) = delete;

  BoxAnswer messageBox(const std::string& text, const std::string& caption, BoxIcon icon, BoxButtons buttons,
                       BoxAnswer defaultButton) override;
  void showModal(TForm2& dialog) override;
  void showModeless(TForm2& dialog) override;
  void repaint(TForm2& dialog) override;
  void hide(TForm2& dialog) override;
  void setPointerHidden(bool hidden) override { pointerHidden_ = hidden; }

 private:
  bool enter();
  void leave();
  void draw(const tui::MessageBoxUi* box);
  tui::Key readKey();

  std::unique_ptr<Operator> fallback_;
  bool unusable_ = false;    // curses could not start here: the fallback answers
  TForm2* shown_ = nullptr;  // the dialog on the screen, if any
  tui::DialogUi ui_;
  bool pointerHidden_ = false;  // a text screen has no pointer; kept for symmetry
};

// Whether the operator can be asked on this process's terminal: stdin and stdout are terminals.
bool terminalAvailable();

}  // namespace duz
