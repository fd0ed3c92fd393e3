// What the link's integration tests share: child processes (the simulator, peers and tools, talked to
// through pipes and always ended and reaped by the test that started them) and our link on a line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/link.h"
#include "platform/platform.h"

namespace duz::test {

// A running program with its standard input and output on pipes and its standard error in a file.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  ~Child();  // SIGTERM, then SIGKILL if it has not ended within two seconds
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of standard output, without its line feed; nothing when none came in time.
  std::optional<std::string> readLine(int timeoutMs = 3000);
  void send(const std::string& line);
  void closeInput();
  // Asks the program to end (SIGTERM) without waiting for it; wait() reaps it.
  void terminate();
  // Sends a signal to the running program (e.g. SIGHUP).
  void signal(int number);
  // Sends one simulator command and returns its answer line ("ok" or "error: …").
  std::string command(const std::string& line);
  // Sends a command that answers with lines and then "ok" (show); the lines before the "ok".
  std::vector<std::string> commandLines(const std::string& line);
  std::string errorText() const;
  // Waits for the program to end: its exit status, or -1 when it did not end in time.
  int wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string errorFile_;
  std::string pending_;
  int status_ = -1;
};

struct Finished {
  int status = -1;  // exit status, -1 when it had to be killed
  std::string out;
  std::string err;
};
// Runs a program to its end with nothing on standard input.
Finished runToEnd(const std::vector<std::string>& argv, int timeoutMs = 10000);

// A temporary file with the given content, removed at destruction.
class TempFile {
 public:
  explicit TempFile(const std::string& content);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Monotonic milliseconds, for measurements.
double nowMs();

using Bytes = std::vector<std::uint8_t>;
// A frame with its CRC appended.
Bytes sealed(Bytes frame);

// Our link with the real serial port, opened on `path` and set up as the module does it: 9600 bit/s,
// 8 data bits, no parity, 2 stop bits, read time-outs 100 / 2 / 500 ms.
class LineLink {
 public:
  LineLink();
  ~LineLink();
  bool open(const std::string& path, const std::string& settings = "baud=9600 parity=N data=8 stop=2");
  // One Transaction of `request` (CRC added); on success `reply` holds the whole reply frame.
  int exchange(const Bytes& request, Bytes& reply);

  std::unique_ptr<Clock> clock;
  std::unique_ptr<SerialPorts> ports;
  Link link;
};

}  // namespace duz::test
