#include "ui/terminal/terminal_operator.h"

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>
#include <dlfcn.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/dialog.h"

#if defined(DUZ_ASAN) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define DUZ_LSAN 1
#endif

namespace duz {

namespace {

using tui::Key;

// The one terminal of the process. The signal handlers read it, so it is plain data set up before they
// are installed. Everything here is constant-initialised: the module's start-up, which shows the dialog,
// runs inside the library's static initialisation, possibly before this file's dynamic initialisers.
struct Terminal {
  SCREEN* screen = nullptr;
  bool active = false;  // curses mode is on
  int fd = -1;          // the terminal written to (stdout)
  termios shellModes{};
  bool haveShellModes = false;
  char restore[512] = {};  // what ends curses mode on the terminal, written by signal handlers
  std::size_t restoreLength = 0;
  bool haveColours = false;
};
constinit Terminal terminal;

constinit volatile std::sig_atomic_t leftBySignal =
    0;  // a handler restored the terminal: enter curses mode again
constinit volatile std::sig_atomic_t resized = 0;

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGTSTP, SIGWINCH};
constinit struct sigaction previous[NSIG] = {};
constinit bool handlersInstalled = false;

// Async-signal-safe: only write() and tcsetattr().
void restoreTerminalNow() {
  if (terminal.fd < 0) return;
  std::size_t done = 0;
  while (done < terminal.restoreLength) {
    const ssize_t n = ::write(terminal.fd, terminal.restore + done, terminal.restoreLength - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (terminal.haveShellModes) ::tcsetattr(terminal.fd, TCSANOW, &terminal.shellModes);
}

extern "C" void onFatalSignal(int sig) {
  const int savedErrno = errno;
  restoreTerminalNow();
  leftBySignal = 1;
  // The host's own disposition, then the signal again: it is delivered once this handler returns.
  ::sigaction(sig, &previous[sig], nullptr);
  ::raise(sig);
  errno = savedErrno;
}

extern "C" void onStop(int sig) {
  const int savedErrno = errno;
  restoreTerminalNow();
  leftBySignal = 1;
  ::sigaction(sig, &previous[sig], nullptr);
  ::raise(sig);  // stops once this handler returns; after SIGCONT the dialog enters curses mode again
  errno = savedErrno;
}

extern "C" void onResize(int) {
  resized = 1;
}

void installHandlers() {
  if (handlersInstalled) return;
  for (int sig : kHandledSignals) {
    struct sigaction action {};
    action.sa_handler = sig == SIGWINCH ? onResize : sig == SIGTSTP ? onStop : onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a waiting read returns, and the loop looks at the flags
    struct sigaction old {};
    ::sigaction(sig, nullptr, &old);
    // A signal the host ignores stays ignored (a background job's SIGTSTP, a daemon's SIGHUP).
    if (old.sa_handler == SIG_IGN && sig != SIGWINCH) {
      previous[sig] = old;
      continue;
    }
    ::sigaction(sig, &action, &previous[sig]);
  }
  handlersInstalled = true;
}

void restoreHandlers() {
  if (!handlersInstalled) return;
  for (int sig : kHandledSignals) ::sigaction(sig, &previous[sig], nullptr);
  handlersInstalled = false;
}

// Collected once curses knows the terminal: what endwin() would send, for the signal handlers.
void prepareRestoreSequence() {
  std::string seq;
  for (const char* cap : {"sgr0", "cnorm", "rmkx", "rmcup"}) {
    const char* s = tigetstr(cap);
    if (s && s != reinterpret_cast<char*>(-1)) seq += s;
  }
  const char* rmcup = tigetstr("rmcup");
  if (!rmcup || rmcup == reinterpret_cast<char*>(-1)) {
    // No second screen to leave: wipe the dialog off the only one.
    const char* clear = tigetstr("clear");
    if (clear && clear != reinterpret_cast<char*>(-1)) seq += clear;
  }
  seq = seq.substr(0, sizeof terminal.restore);
  std::memcpy(terminal.restore, seq.data(), seq.size());
  terminal.restoreLength = seq.size();
}

// The curses libraries stay loaded for the life of the process, even when the module is unloaded: they
// keep process-wide state (the terminal's description, their caches) that must not end up in unmapped
// memory.
void keepCursesLoaded() {
  for (void* symbol : {reinterpret_cast<void*>(&newterm), reinterpret_cast<void*>(&tigetstr)}) {
    Dl_info info{};
    if (dladdr(symbol, &info) && info.dli_fname)
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

// The host's locale while curses mode is on (made on first use, not at static initialisation).
std::string& savedLocale() {
  static std::string locale;
  return locale;
}

// ncursesw needs a UTF-8 character type to write the dialog's Cyrillic texts and frames.
void useTerminalLocale() {
  const char* current = std::setlocale(LC_ALL, nullptr);
  savedLocale() = current ? current : "C";
  std::setlocale(LC_ALL, "");
  const char* codeset = nl_langinfo(CODESET);
  if (!codeset || std::strcmp(codeset, "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
}

void restoreLocale() {
  if (!savedLocale().empty()) std::setlocale(LC_ALL, savedLocale().c_str());
  savedLocale().clear();
}

void resizeToTerminal() {
  winsize size{};
  if (::ioctl(terminal.fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0 &&
      (size.ws_row != LINES || size.ws_col != COLS))
    resize_term(size.ws_row, size.ws_col);
}

Key keyOf(int kind, wint_t ch) {
  if (kind == KEY_CODE_YES) {
    switch (ch) {
      case KEY_BTAB:
        return Key::BackTab;
      case KEY_UP:
        return Key::Up;
      case KEY_DOWN:
        return Key::Down;
      case KEY_LEFT:
        return Key::Left;
      case KEY_RIGHT:
        return Key::Right;
      case KEY_HOME:
      case KEY_FIND:
        return Key::Home;
      case KEY_END:
      case KEY_SELECT:
        return Key::End;
      case KEY_PPAGE:
        return Key::PageUp;
      case KEY_NPAGE:
        return Key::PageDown;
      case KEY_ENTER:
        return Key::Enter;
      case KEY_F(4):
        return Key::OpenList;
      default:
        return Key::Other;
    }
  }
  switch (ch) {
    case L'\t':
      return Key::Tab;
    case L'\r':
    case L'\n':
      return Key::Enter;
    case L' ':
      return Key::Space;
    case 27:
      return Key::Escape;
    default:
      return Key::Other;
  }
}

attr_t cursesAttr(std::uint8_t a) {
  attr_t out = A_NORMAL;
  if (a & tui::kBold) out |= A_BOLD;
  if (a & tui::kDim) out |= A_DIM;
  if (a & tui::kReverse) out |= A_REVERSE;
  if (a & tui::kUnderline) out |= A_UNDERLINE;
  return out;
}

// Ends curses mode (if on) at static destruction: the process is exiting, or the library is unloaded,
// with a showing still on the screen.
struct ExitGuard {
  ~ExitGuard() {
    if (terminal.active) {
      restoreTerminalNow();
      terminal.active = false;
    }
  }
};
constinit ExitGuard exitGuard;

}  // namespace

bool terminalAvailable() {
  return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1;
}

TerminalOperator::TerminalOperator(std::unique_ptr<Operator> fallback) : fallback_(std::move(fallback)) {}

TerminalOperator::~TerminalOperator() {
  leave();
  if (terminal.screen) {
    delscreen(terminal.screen);
    terminal.screen = nullptr;
  }
}

bool TerminalOperator::enter() {
  if (unusable_) return false;
  if (terminal.active && leftBySignal) {
    // A handler put the terminal back to the shell and the process went on: enter curses mode again,
    // with all our handlers back (the one that ran has given way to the host's).
    leftBySignal = 0;
    endwin();
    terminal.active = false;
    restoreHandlers();
    restoreLocale();
  }
  if (terminal.active) return true;

  std::fflush(stdout);
  std::fflush(stderr);
  terminal.fd = STDOUT_FILENO;
  terminal.haveShellModes = ::tcgetattr(terminal.fd, &terminal.shellModes) == 0;
  useTerminalLocale();
  // Ours before curses starts, so that curses does not install handlers of its own that would outlive
  // the showing.
  installHandlers();
  leftBySignal = 0;
  resized = 0;

  if (!terminal.screen) {
    keepCursesLoaded();
    {
#ifdef DUZ_LSAN
      // ncurses does not free its half-made screen when newterm fails (an unknown terminal).
      __lsan::ScopedDisabler notOurLeak;
#endif
      terminal.screen = newterm(nullptr, stdout, stdin);
    }
    // A terminal that cannot move its cursor (TERM=dumb, a printing terminal) cannot show the dialog.
    const char* cup = terminal.screen ? tigetstr("cup") : nullptr;
    if (terminal.screen && (!cup || cup == reinterpret_cast<char*>(-1))) {
      endwin();
      delscreen(terminal.screen);
      terminal.screen = nullptr;
    }
    if (!terminal.screen) {
      restoreHandlers();
      restoreLocale();
      unusable_ = true;
      const char* term = std::getenv("TERM");
      std::fprintf(stderr, "duzevod: the terminal (TERM=%s) cannot show the initialisation dialog\n",
                   term ? term : "");
      std::fflush(stderr);
      return false;
    }
    set_term(terminal.screen);
    cbreak();
    noecho();
    nonl();
    intrflush(stdscr, FALSE);
    keypad(stdscr, TRUE);
    set_escdelay(25);
    if (has_colors() && start_color() == OK) {
      const short background = use_default_colors() == OK ? -1 : COLOR_BLACK;
      terminal.haveColours = init_pair(1, COLOR_BLUE, background) == OK;
    }
    prepareRestoreSequence();
  } else {
    set_term(terminal.screen);
    reset_prog_mode();
  }
  curs_set(0);
  resizeToTerminal();
  clearok(curscr, TRUE);
  terminal.active = true;
  return true;
}

void TerminalOperator::leave() {
  if (!terminal.active) return;
  if (!leftBySignal) {
    erase();
    refresh();
  }
  leftBySignal = 0;
  curs_set(1);
  endwin();
  std::fflush(stdout);
  terminal.active = false;
  restoreHandlers();
  restoreLocale();
}

void TerminalOperator::draw(const tui::MessageBoxUi* box) {
  if (resized) {
    resized = 0;
    resizeToTerminal();
    clearok(curscr, TRUE);
  }
  tui::Screen screen(COLS, LINES);
  if (shown_ && shown_->visible) tui::renderDialogScreen(*shown_, ui_, screen);
  if (box) tui::renderMessageBox(*box, screen);

  std::vector<cchar_t> line(static_cast<std::size_t>(screen.width()));
  for (int y = 0; y < screen.height(); ++y) {
    for (int x = 0; x < screen.width(); ++x) {
      const tui::Cell& c = screen.at(x, y);
      const wchar_t text[2] = {static_cast<wchar_t>(c.ch), L'\0'};
      const short pair = (c.attr & tui::kBlue) && terminal.haveColours ? 1 : 0;
      setcchar(&line[x], text, cursesAttr(c.attr), pair, nullptr);
    }
    mvadd_wchnstr(y, 0, line.data(), screen.width());
  }
  refresh();
}

Key TerminalOperator::readKey() {
  timeout(200);
  wint_t ch = 0;
  const int kind = get_wch(&ch);
  if (leftBySignal) {
    enter();  // back from a stop, or the host's handler let the process go on
    return Key::None;
  }
  if (kind == ERR) return Key::None;
  if (kind == KEY_CODE_YES && ch == KEY_RESIZE) {
    resized = 1;
    return Key::None;
  }
  return keyOf(kind, ch);
}

BoxAnswer TerminalOperator::messageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                                       BoxButtons buttons, BoxAnswer defaultButton) {
  if (!enter()) return fallback_->messageBox(text, caption, icon, buttons, defaultButton);
  tui::MessageBoxUi box = tui::makeMessageBox(text, caption, icon, buttons, defaultButton);
  // Over the dialog when it is on the screen; otherwise the box alone, and curses mode ends with it.
  struct LeaveUnlessShown {
    TerminalOperator& op;
    ~LeaveUnlessShown() {
      if (!(op.shown_ && op.shown_->visible)) op.leave();
    }
  } leaveAfter{*this};
  flushinp();
  for (;;) {
    draw(&box);
    if (const auto answer = tui::handleBoxKey(box, readKey())) return *answer;
  }
}

void TerminalOperator::showModal(TForm2& dialog) {
  if (!enter()) return fallback_->showModal(dialog);
  dialog.show();
  shown_ = &dialog;
  tui::startModal(dialog, ui_);
  // Whatever happens in the loop, the module's screen goes and the terminal is the host's again.
  struct LeaveAfter {
    TerminalOperator& op;
    ~LeaveAfter() {
      op.shown_ = nullptr;
      op.ui_ = tui::DialogUi{};
      op.leave();
    }
  } leaveAfter{*this};
  flushinp();  // keys typed during a search are not meant for this showing
  while (dialog.visible) {
    draw(nullptr);
    const Key key = readKey();
    if (key != Key::None) tui::handleDialogKey(dialog, ui_, key);
  }
}

void TerminalOperator::showModeless(TForm2& dialog) {
  if (!enter()) return fallback_->showModeless(dialog);
  dialog.show();
  shown_ = &dialog;
  ui_ = tui::DialogUi{};  // no focus: no input is taken during a search
  ui_.gridTop = dialog.StringGrid1.fixedRows;
  draw(nullptr);
}

void TerminalOperator::repaint(TForm2& dialog) {
  if (!dialog.visible) return;
  if (!enter()) return fallback_->repaint(dialog);
  shown_ = &dialog;
  draw(nullptr);
}

void TerminalOperator::hide(TForm2& dialog) {
  dialog.hide();
  if (shown_ == &dialog) shown_ = nullptr;
  leave();
}

}  // namespace duz
