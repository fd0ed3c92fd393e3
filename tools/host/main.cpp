// duzevod-host: loads the module the way the host does and shows what the host would see.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "duz_version.h"
#include "host/shell/exports.h"
#include "live_table.h"
#include "module_library.h"
#include "options.h"
#include "snapshot.h"
#include "terminal.h"

namespace {

using namespace duz::host;
using duz::tools::ModuleLibrary;

volatile std::sig_atomic_t interrupted = 0;
void onInterrupt(int) {
  interrupted = 1;
}

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "duzevod-host: %s\n", message.c_str());
  return status;
}

// Now as FILETIME, for the ages of published values.
std::uint64_t fileTimeNow() {
  using namespace std::chrono;
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;
  const auto since = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return kUnixEpoch + static_cast<std::uint64_t>(since) * 10;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

const char kKeysHelp[] =
    "keys: r reset  c cancel signalling  b blocking on/off  Tab/arrows choose the instrument  q quit";

// The live view on a terminal: the table redrawn in place, and the alarm instruments' command bits
// written from the keyboard.
class LiveView {
 public:
  LiveView(Terminal& terminal, const duz::DeviceStatusRecord* table, duz::SetTagValueFn setBit)
      : terminal_(terminal), table_(table), setBit_(setBit) {}

  void show(const Snapshot& s) {
    last_ = s;
    if (selected_ < 0 || !commandable(selected_)) step(1);
    std::vector<std::string> lines = liveTable(s, fileTimeNow(), terminal_.hasKeys() ? selected_ : -1);
    lines.push_back("");
    if (!status_.empty()) lines.push_back(status_);
    if (terminal_.hasKeys()) lines.push_back(kKeysHelp);
    terminal_.draw(lines);
  }
  void status(const std::string& text) { status_ = text; }

  // Acts on a key; false when the view is to end.
  bool key(int k, std::uint64_t t) {
    switch (k) {
      case 'q':
        return false;
      case '\t':
      case 'n':
      case Terminal::kDown:
        step(1);
        break;
      case 'p':
      case Terminal::kUp:
        step(-1);
        break;
      case 'r':
      case 'c':
      case 'b':
        command(static_cast<char>(k), t);
        break;
      default:
        return true;
    }
    show(takeSnapshot(table_, t));
    return true;
  }

 private:
  bool commandable(int slot) const {
    return slot >= 0 && slot < static_cast<int>(last_.devices.size()) && commandBits(last_.devices[slot]);
  }
  // Moves the selection to the next (or previous) alarm instrument, round the table.
  void step(int direction) {
    const int n = static_cast<int>(last_.devices.size());
    for (int i = 1; i <= n; ++i) {
      const int slot = ((selected_ < 0 ? (direction > 0 ? -1 : 0) : selected_) + direction * i + n) % n;
      if (commandable(slot)) {
        selected_ = slot;
        return;
      }
    }
    selected_ = -1;
  }
  void command(char k, std::uint64_t t) {
    if (!commandable(selected_) || !setBit_) {
      status_ = "no alarm instrument to command";
      return;
    }
    const DeviceSnapshot& d = last_.devices[selected_];
    const CommandBits bits = *commandBits(d);
    const int bit = k == 'r' ? bits.reset : k == 'c' ? bits.cancellation : bits.blocking;
    const std::uint32_t value = k == 'b' ? (d.bit[bit].value != 0 ? 0 : 1) : 1;
    const char* what = k == 'r'   ? "Reset"
                       : k == 'c' ? "Cancellation of the signal system"
                                  : "Mode of blocking";
    status_ = "writing " + std::string(what) + " of " + d.name + "...";
    show(last_);
    const unsigned result =
        setBit_((static_cast<std::uint32_t>(selected_) << 16) | static_cast<std::uint32_t>(bit), value) &
        0xFF;
    status_ =
        writeText(t, static_cast<std::uint32_t>(selected_), static_cast<std::uint32_t>(bit), value, result);
    if (!status_.empty() && status_.back() == '\n') status_.pop_back();
    status_ += "  (" + std::string(what) + " of " + d.name + ")";
  }

  Terminal& terminal_;
  const duz::DeviceStatusRecord* table_;
  duz::SetTagValueFn setBit_;
  Snapshot last_;
  int selected_ = -1;
  std::string status_;
};

}  // namespace

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;

  if (argc == 2 && std::string_view(argv[1]) == "--version") return duz::printVersion("duzevod-host");
  std::string error;
  const auto options = parseOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "duzevod-host: %s\nRun duzevod-host --help for the options.\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const Options& o = *options;

  auto library = ModuleLibrary::load(o.modulePath, error);
  if (!library) return fail("cannot load module '" + o.modulePath + "': " + error, 1);
  const auto start = Clock::now();
  const auto getData = library->function<duz::GetDataForDUZEvoderFn>("GetDataForDUZEvoder");
  const auto setBit = library->function<duz::SetTagValueFn>("SetBitTagValue");
  if (!getData) return fail("'" + o.modulePath + "' exports no GetDataForDUZEvoder: not the module", 1);
  if (!o.writes.empty() && !setBit) return fail("'" + o.modulePath + "' exports no SetBitTagValue", 1);
  const duz::DeviceStatusRecord* table = getData();
  if (!table) return fail("GetDataForDUZEvoder returned no table", 1);

  std::signal(SIGINT, onInterrupt);
  std::signal(SIGTERM, onInterrupt);

  auto elapsedMs = [&] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  };
  {
    // The terminal is taken after the load (the module's own dialog may have used it) and given back
    // before the unload.
    std::unique_ptr<Terminal> terminal = o.json ? nullptr : Terminal::open();
    std::unique_ptr<LiveView> view =
        terminal ? std::make_unique<LiveView>(*terminal, table, setBit) : nullptr;
    std::size_t nextWrite = 0;
    std::uint64_t nextSnapshot = 0;
    bool quit = false;
    while (!interrupted && !quit) {
      // Writes due by the next snapshot go first, so the snapshot shows their effect.
      const bool writeFirst = nextWrite < o.writes.size() && o.writes[nextWrite].atMs <= nextSnapshot;
      const std::uint64_t due = writeFirst ? o.writes[nextWrite].atMs : nextSnapshot;
      if (o.runMs && due > *o.runMs) break;
      while (!interrupted && !quit && elapsedMs() < due) {
        const int wait = static_cast<int>(std::min<std::uint64_t>(due - elapsedMs(), 50));
        if (terminal && terminal->hasKeys()) {
          const int key = terminal->readKey(wait);
          if (key != Terminal::kNoKey) quit = !view->key(key, elapsedMs());
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        }
      }
      if (interrupted || quit) break;
      if (writeFirst) {
        const ScheduledWrite& w = o.writes[nextWrite++];
        const unsigned result = setBit((w.slot << 16) | w.bit, w.value) & 0xFF;
        if (o.json) {
          print(writeJson(elapsedMs(), w.slot, w.bit, w.value, result));
        } else if (view) {
          std::string text = writeText(elapsedMs(), w.slot, w.bit, w.value, result);
          text.pop_back();
          view->status(text);
        } else {
          print(writeText(elapsedMs(), w.slot, w.bit, w.value, result));
        }
      } else {
        const Snapshot s = takeSnapshot(table, elapsedMs());
        if (o.json) {
          print(snapshotJson(s));
        } else if (view) {
          view->show(s);
        } else {
          print(joined(liveTable(s, fileTimeNow())) + "\n");
        }
        nextSnapshot += o.intervalMs;
      }
    }
  }

  if (!library->unload(error)) return fail("cannot unload module '" + o.modulePath + "': " + error, 1);
  return 0;
}
