// The bus simulator (duzevod-sim) on a pseudo-terminal of its own: started, the line's path read from
// its first output line, commands sent on its standard input, stopped with the object.
#pragma once

#include <string>
#include <vector>

#include "child.h"

namespace duz::tools {

class Simulator {
 public:
  // `options` follow the program on its command line (--bus FILE …). `setup` may say where standard
  // error goes and how the child is started; its argv is made here. Waits up to `timeoutMs` for the path.
  Simulator(const std::string& program, const std::vector<std::string>& options, ChildSetup setup = {},
            int timeoutMs = 5000);

  // Whether it printed its line's path in time.
  bool started() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // What it said when it did not start, or its standard error so far.
  std::string errorText() const { return child_.errorText(); }

  // One command line and its answer ("ok" or "error: …").
  std::string command(const std::string& line) { return child_.command(line); }
  // A command that answers with lines and then "ok" (show): the lines before the "ok".
  std::vector<std::string> commandLines(const std::string& line) { return child_.commandLines(line); }
  Child& process() { return child_; }

 private:
  static ChildSetup withArgv(const std::string& program, const std::vector<std::string>& options,
                             ChildSetup setup);

  Child child_;
  std::string path_;
};

}  // namespace duz::tools
