// The terminal duzevod-host shows its live view on: redrawn in place with ANSI sequences, and read key
// by key (no echo, no line editing) while the view runs. Restored when the view ends.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace duz::host {

class Terminal {
 public:
  static constexpr int kNoKey = -1;
  static constexpr int kUp = 0x100;
  static constexpr int kDown = 0x101;

  // Null when standard output is not a terminal that takes ANSI sequences. Keys are read when standard
  // input is a terminal too.
  static std::unique_ptr<Terminal> open();
  virtual ~Terminal() = default;

  // Replaces the screen's contents with `lines`, cut to the window's size.
  virtual void draw(const std::vector<std::string>& lines) = 0;
  virtual bool hasKeys() const = 0;
  // The next key within `timeoutMs`, or kNoKey.
  virtual int readKey(int timeoutMs) = 0;
};

// `lines` as one ANSI frame for a window of `rows` x `columns`: from the top left, each line cut to the
// width and cleared to its end, the rest of the screen cleared; lines beyond the height are counted.
std::string ansiFrame(const std::vector<std::string>& lines, int rows, int columns);

}  // namespace duz::host
