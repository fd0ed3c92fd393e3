// Another program run by a tool or a test: its standard output on a pipe read line by line, its standard
// input on a pipe or /dev/null, its standard error in a file; always ended and reaped.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace duz::tools {

struct ChildSetup {
  std::vector<std::string> argv{};  // argv[0] is the program's path
  // Changes to this process's environment for the child: a value sets the variable, none removes it.
  std::vector<std::pair<std::string, std::optional<std::string>>> env{};
  bool input = true;  // standard input on a pipe (send, closeInput); otherwise /dev/null
  // Standard error's file; empty: a temporary file of the child's own, removed with it (errorText).
  std::string errorFile{};
  bool appendErrors = false;    // append to errorFile (created when missing) instead of replacing it
  bool outputToErrors = false;  // standard output goes to the error file too, not to a pipe
  // A signal the child gets when this thread ends, however it ends (0: none).
  int parentDeathSignal = 0;
  // Descriptors of ours the child gets as the given numbers (the child keeps no other beyond 0..2).
  std::vector<std::pair<int, int>> descriptors{};
  // Runs in the child instead of a program (then argv is not used); it must end the process itself.
  std::function<void()> body{};
};

class Child {
 public:
  explicit Child(ChildSetup setup);
  // A program with both pipes and standard error in a temporary file.
  explicit Child(const std::vector<std::string>& argv);
  ~Child();  // SIGTERM, then SIGKILL if it has not ended within two seconds
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The next line of standard output, without its line feed; nothing when none came in time or the
  // output ended. A time of 0 takes only what has already arrived.
  std::optional<std::string> readLine(int timeoutMs = 3000);
  // Everything up to the end of the output (the time limit reached: what came until then).
  std::string readAll(int timeoutMs);
  bool outputEnded() const { return outputEnded_; }
  // The descriptor to wait on (poll) for output; -1 when there is no pipe.
  int outputFd() const { return out_; }

  bool send(const std::string& line);  // with a line feed added; false when the program has gone
  void closeInput();
  // Sends one command line and returns its answer line; "(no answer)" when none came.
  std::string command(const std::string& line);
  // Sends a command that answers with lines and then "ok"; the lines before the "ok".
  std::vector<std::string> commandLines(const std::string& line);

  void signal(int number);  // to the running program
  void terminate();         // SIGTERM without waiting; wait() reaps it
  // The exit status once it has ended within `timeoutMs`; -1 when it has not, or a signal ended it.
  int wait(int timeoutMs);
  // Whether it has ended, without waiting.
  bool ended();
  // After it ended: the status as waitpid gives it (WIFEXITED, WTERMSIG…).
  int rawStatus() const { return raw_; }

  std::string errorText() const;  // what it wrote to standard error so far
  const std::string& errorFile() const { return errorFile_; }

 private:
  bool reap(int timeoutMs);
  bool fill(double end);  // one read of what has arrived by `end`; false when nothing more came

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  bool outputEnded_ = false;
  int raw_ = 0;
  std::string errorFile_;
  bool ownErrorFile_ = false;
  std::string pending_;
};

struct Finished {
  int status = -1;  // exit status, -1 when it had to be killed or a signal ended it
  std::string out;
  std::string err;
};
// Runs a program to its end with nothing on standard input.
Finished runToEnd(const std::vector<std::string>& argv, int timeoutMs = 10000);

double monotonicMs();

}  // namespace duz::tools
