#include "terminal.h"

#include <algorithm>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
// windows.h first
#include <conio.h>
#include <io.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004  // Windows 10 consoles; older ones refuse it
#endif
#else
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#endif

namespace duz::host {

namespace {

constexpr const char* kHideCursor = "\x1b[?25l";
constexpr const char* kShowCursor = "\x1b[?25h";
constexpr const char* kClearScreen = "\x1b[H\x1b[2J";

void put(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The first `columns` code points of a UTF-8 line.
std::string fit(const std::string& line, int columns) {
  std::string out;
  int n = 0;
  for (char c : line) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++n > columns) break;
    out += c;
  }
  return out;
}

#if defined(_WIN32)

class ConsoleTerminal : public Terminal {
 public:
  ConsoleTerminal(HANDLE out, DWORD mode, UINT codePage, bool keys)
      : out_(out), mode_(mode), codePage_(codePage), keys_(keys) {
    put(std::string(kHideCursor) + kClearScreen);
  }
  ~ConsoleTerminal() override {
    put(kShowCursor);
    SetConsoleMode(out_, mode_);
    SetConsoleOutputCP(codePage_);
  }
  void draw(const std::vector<std::string>& lines) override {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    int rows = 25, columns = 80;
    if (GetConsoleScreenBufferInfo(out_, &info)) {
      rows = info.srWindow.Bottom - info.srWindow.Top + 1;
      columns = info.srWindow.Right - info.srWindow.Left + 1;
    }
    put(ansiFrame(lines, rows, columns));
  }
  bool hasKeys() const override { return keys_; }
  int readKey(int timeoutMs) override {
    for (int waited = 0;; waited += 10) {
      if (_kbhit()) {
        const int c = _getch();
        if (c == 0 || c == 0xE0) {  // a function or arrow key: its code follows
          const int code = _getch();
          return code == 'H' ? kUp : code == 'P' ? kDown : kNoKey;
        }
        return c;
      }
      if (waited >= timeoutMs) return kNoKey;
      Sleep(10);
    }
  }

 private:
  HANDLE out_;
  DWORD mode_;
  UINT codePage_;
  bool keys_;
};

}  // namespace

std::unique_ptr<Terminal> Terminal::open() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return nullptr;
  if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return nullptr;  // no ANSI
  const UINT codePage = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  const bool keys = _isatty(_fileno(stdin)) != 0;
  return std::make_unique<ConsoleTerminal>(out, mode, codePage, keys);
}

#else

class PosixTerminal : public Terminal {
 public:
  explicit PosixTerminal(bool keys) : keys_(keys) {
    if (keys_ && tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios raw = saved_;
      // Key by key without echo; Ctrl-C still interrupts.
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      raw.c_cc[VMIN] = 0;
      raw.c_cc[VTIME] = 0;
      keys_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    } else {
      keys_ = false;
    }
    put(std::string(kHideCursor) + kClearScreen);
  }
  ~PosixTerminal() override {
    put(kShowCursor);
    if (keys_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  PosixTerminal(const PosixTerminal&) = delete;
  PosixTerminal& operator=(const PosixTerminal&) = delete;

  void draw(const std::vector<std::string>& lines) override {
    winsize size{};
    int rows = 24, columns = 80;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
      rows = size.ws_row;
      columns = size.ws_col;
    }
    put(ansiFrame(lines, rows, columns));
  }
  bool hasKeys() const override { return keys_; }
  int readKey(int timeoutMs) override {
    if (!keys_) return kNoKey;
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0 || !(fd.revents & POLLIN)) return kNoKey;
    unsigned char c = 0;
    if (::read(STDIN_FILENO, &c, 1) != 1) return kNoKey;
    if (c != 0x1B) return c;
    // An arrow key is ESC [ A (up) or ESC [ B (down); anything else after ESC is dropped.
    unsigned char sequence[2] = {};
    if (::poll(&fd, 1, 20) <= 0 || ::read(STDIN_FILENO, sequence, 2) != 2 || sequence[0] != '[')
      return kNoKey;
    return sequence[1] == 'A' ? kUp : sequence[1] == 'B' ? kDown : kNoKey;
  }

 private:
  bool keys_;
  termios saved_{};
};

}  // namespace

std::unique_ptr<Terminal> Terminal::open() {
  const char* term = std::getenv("TERM");
  if (!isatty(STDOUT_FILENO) || !term || std::strcmp(term, "dumb") == 0) return nullptr;
  return std::make_unique<PosixTerminal>(isatty(STDIN_FILENO) != 0);
}

#endif

std::string ansiFrame(const std::vector<std::string>& lines, int rows, int columns) {
  rows = std::max(rows, 2);
  columns = std::max(columns, 10);
  std::string frame = "\x1b[H";
  const std::size_t room = static_cast<std::size_t>(rows - 1);  // the last row stays free: no scrolling
  const bool cut = lines.size() > room;
  const std::size_t shown = cut ? room - 1 : lines.size();
  for (std::size_t i = 0; i < shown; ++i) frame += fit(lines[i], columns) + "\x1b[K\n";
  if (cut)
    frame +=
        fit("... " + std::to_string(lines.size() - shown) + " more lines: make the window taller", columns) +
        "\x1b[K\n";
  frame += "\x1b[J";
  return frame;
}

}  // namespace duz::host
