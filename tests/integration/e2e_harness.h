// End-to-end runs: the bus simulator on a pseudo-terminal and duzevod-host loading the real module
// against it, with the module's files in a directory of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_json.h"
#include "link_harness.h"
#include "simulator.h"

namespace duz::test {

// Two transducers that answer: raw 8192 reads 50 at address 1, raw 4096 reads 75 at address 2.
inline constexpr char kTwoTransducers[] = R"(device 1 ORTA
  raw 8192
device 2 VEKS-1
  sensor 2
  range 0
  raw 4096
)";

// Quality words as the host receives them.
inline constexpr std::int64_t kGood = 0x800000C0;
inline constexpr std::int64_t kDeviceFailure = 0x8000000C;
inline constexpr std::int64_t kSensorFailure = 0x80000010;
inline constexpr std::int64_t kSensorNotAccurate = 0x80000050;
inline constexpr std::int64_t kConfigError = 0x80000004;

// One line of the simulator's trace: a request it received ("rx") or a reply it sent ("tx").
struct TraceFrame {
  bool received = false;
  Bytes bytes;
  std::string note;  // why a request got no reply, or what was odd about a reply
};
std::vector<TraceFrame> parseTrace(const std::string& text);
Bytes hexBytes(const std::string& text);  // "01 05 00 F0" → bytes
std::string hexText(const Bytes& bytes);

// duzevod-sim with --trace on its own pseudo-terminal.
class Simulator {
 public:
  explicit Simulator(const std::string& busPath);
  const std::string& pty() const { return sim_.path(); }
  // A setting for a device, e.g. "2 fault silent"; the simulator's answer ("ok" or "error: …").
  std::string command(const std::string& line) { return sim_.command(line); }
  std::vector<std::string> show(int address) { return sim_.commandLines("show " + std::to_string(address)); }
  std::vector<TraceFrame> trace() const { return parseTrace(sim_.errorText()); }
  std::string traceText() const { return sim_.errorText(); }

 private:
  tools::Simulator sim_;
};

// One tag as a snapshot shows it.
struct Tag {
  std::string name;
  double value = 0;
  std::int64_t quality = 0;
  std::int64_t timestamp = 0;
};
struct Device {
  int online = -1;
  std::vector<Tag> analog, bit, integer;
};
// Slot s of a snapshot line; throws when the line is not a snapshot.
Device deviceOf(const Json& snapshot, int slot);

// duzevod-host loading the module, with DUZEVOD_DIR, DUZEVOD_PORTS and DUZEVOD_OPERATOR set for it
// (in AddressSanitizer builds also with leak detection on).
class Host {
 public:
  Host(const std::string& dir, const std::string& ports, const std::string& script,
       const std::vector<std::string>& args);

  // Reads snapshots as they come until one satisfies `ready`; that one, or nothing at the time limit
  // or the program's end.
  std::optional<Json> waitFor(const std::function<bool(const Json&)>& ready, int timeoutMs);
  // Asks the program to end early (SIGTERM), as Ctrl+C would.
  void interrupt() { child_.terminate(); }
  // Reads the rest of the output and waits for the exit; the exit status (-1 when it did not end).
  int finish(int timeoutMs);
  int status() const { return status_; }

  std::vector<Json> snapshots() const;
  std::vector<Json> writes() const;  // the "write" members of the write lines
  std::optional<Json> lastSnapshot() const;
  std::string err() const { return child_.errorText(); }
  // Milliseconds from the last output line to the program's end: the unload, after the last snapshot.
  double unloadMs() const { return exitMs_ - lastLineMs_; }
  // What a failure report shows: standard error, the write lines, the last snapshot as a table.
  std::string transcript() const;

 private:
  bool readOne(int timeoutMs);

  Child child_;
  std::vector<std::string> lines_;
  double lastLineMs_ = 0;
  double exitMs_ = 0;
  int status_ = -1;
  bool ended_ = false;
};

// A test with one directory for the module's files; a failing test prints the output of every host
// run and simulator it started.
class EndToEnd : public ::testing::Test {
 protected:
  EndToEnd();
  ~EndToEnd() override;
  void TearDown() override;

  Simulator& startSimulator(const std::string& busText);  // a bus description given as text
  Simulator& startSampleBus();                            // tools/sim/sample.bus
  Host& startHost(const std::string& script, const std::vector<std::string>& args);
  // Runs the host to its end (it must end within `timeoutMs`) and returns it.
  Host& runHost(const std::string& script, const std::vector<std::string>& args, int timeoutMs = 30000);

  const std::string& dir() const { return dir_; }
  std::string configPath() const { return dir_ + "/DUZEvod.sys"; }
  std::string tempPath() const { return dir_ + "/~DUZEvod.sys"; }
  // The operator's script for a first start: search addresses 1..limit on the first simulator's line,
  // then leave the dialog.
  std::string searchScript(int limit) const;
  // The first simulator's pseudo-terminal.
  const std::string& pty() const { return simulators_.at(0)->pty(); }
  Simulator& sim() { return *simulators_.at(0); }

 private:
  std::string dir_;
  std::vector<std::unique_ptr<TempFile>> busFiles_;
  std::vector<std::unique_ptr<Simulator>> simulators_;
  std::vector<std::unique_ptr<Host>> hosts_;
};

// The wall clock as a FILETIME (100 ns units since 1601), to bound published timestamps.
std::int64_t fileTimeNow();
std::string readBytes(const std::string& path);  // the whole file; empty when it cannot be read
bool fileExists(const std::string& path);

}  // namespace duz::test
