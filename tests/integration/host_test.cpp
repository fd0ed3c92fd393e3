// The module as the host meets it: libduzevod.so loaded by duzevod-host and by this program itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/shell/exports.h"
#include "host_json.h"
#include "temp_dir.h"
#include "tessarin.h"

extern char** environ;

namespace duz::test {
namespace {

namespace fs = std::filesystem;

struct HostRun {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out, err;
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The environment a host gives the module in these tests: its files in `dir`, no operator script,
// and (stdin not a terminal) no interactive operator.
std::vector<std::string> moduleEnvironment(const std::string& dir) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.starts_with("DUZEVOD_DIR=") || entry.starts_with("DUZEVOD_OPERATOR=")) continue;
    env.push_back(entry);
  }
  env.push_back("DUZEVOD_DIR=" + dir);
  return env;
}

HostRun runHost(std::vector<std::string> args) {
  TempDir dir{"duzevod-host-test"};
  const std::string outPath = dir.path() + "/stdout", errPath = dir.path() + "/stderr";
  args.insert(args.begin(), DUZEVOD_HOST);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = moduleEnvironment(dir.path());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  HostRun run;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    run.err = std::string("spawn failed: ") + std::strerror(spawned);
    return run;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = readFile(outPath);
  run.err = readFile(errPath);
  return run;
}

void expectEmptyDeviceSnapshot(const Json& snapshot) {
  ASSERT_EQ(keysOf(snapshot), (std::vector<std::string>{"t", "devices"}));
  const Json& devices = snapshot.at("devices");
  ASSERT_EQ(devices.size(), 31u);
  for (std::size_t s = 0; s < 31; ++s) {
    const Json& d = devices.at(s);
    EXPECT_EQ(keysOf(d), (std::vector<std::string>{"slot", "name", "online", "analog", "bit", "int"}));
    EXPECT_EQ(integerOf(d.at("slot")), static_cast<std::int64_t>(s));
    EXPECT_EQ(d.at("name"), "Device" + std::to_string(s + 1));
    EXPECT_EQ(integerOf(d.at("online")), 1);
    for (const char* kind : {"analog", "bit", "int"}) {
      EXPECT_EQ(d.at(kind).is_array(), true);
      EXPECT_TRUE(d.at(kind).empty()) << "slot " << s << " " << kind;
    }
  }
}

TEST(HostProgram, ShowsThirtyOneEmptyDevicesAndUnloadsCleanly) {
  // No configuration in DUZEVOD_DIR and nobody to ask: the module loads without devices.
  const HostRun run = runHost({"--module", DUZEVOD_MODULE, "--json", "--seconds", "2"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = run.lines();
  ASSERT_GE(lines.size(), 2u) << run.out;  // snapshots at 0, 1000 and 2000 ms
  ASSERT_LE(lines.size(), 3u) << run.out;
  std::int64_t lastT = -1;
  for (const std::string& line : lines) {
    const auto snapshot = parseJson(line);
    ASSERT_TRUE(snapshot) << "not JSON: " << line;
    expectEmptyDeviceSnapshot(*snapshot);
    const std::int64_t t = integerOf(snapshot->at("t"));
    EXPECT_GT(t, lastT);
    lastT = t;
  }
  EXPECT_GE(lastT, 1000);
}

TEST(HostProgram, PerformsScheduledWritesInTimeOrder) {
  // Nothing is configured, so every write is refused; slot 40 does not exist at all.
  const HostRun run = runHost({"--module", DUZEVOD_MODULE, "--json", "--seconds", "0.5", "--interval",
                               "10000", "--write", "0:59=1@0.3", "--write=40:0=0@0.1"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = run.lines();
  ASSERT_EQ(lines.size(), 3u) << run.out;
  const auto snapshot = parseJson(lines[0]);
  ASSERT_TRUE(snapshot && snapshot->contains("devices")) << lines[0];
  const auto first = parseJson(lines[1]);
  const auto second = parseJson(lines[2]);
  ASSERT_TRUE(first && second) << run.out;
  ASSERT_EQ(keysOf(*first), (std::vector<std::string>{"t", "write"}));
  const Json& w1 = first->at("write");
  EXPECT_EQ(keysOf(w1), (std::vector<std::string>{"slot", "bit", "value", "result"}));
  EXPECT_EQ(integerOf(w1.at("slot")), 40);
  EXPECT_EQ(integerOf(w1.at("bit")), 0);
  EXPECT_EQ(integerOf(w1.at("value")), 0);
  EXPECT_EQ(integerOf(w1.at("result")), 0);
  EXPECT_GE(integerOf(first->at("t")), 100);
  const Json& w2 = second->at("write");
  EXPECT_EQ(integerOf(w2.at("slot")), 0);
  EXPECT_EQ(integerOf(w2.at("bit")), 59);
  EXPECT_EQ(integerOf(w2.at("value")), 1);
  EXPECT_EQ(integerOf(w2.at("result")), 0);
  EXPECT_GE(integerOf(second->at("t")), 300);
}

TEST(HostProgram, ReadableTableListsTheSlots) {
  const HostRun run = runHost({"--module", DUZEVOD_MODULE, "--seconds", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Device1 "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Device31"), std::string::npos) << run.out;
}

TEST(HostProgram, RefusesBadCommandLinesWithReasons) {
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{"--json"}, "--module PATH is required"},
      {{"--module", DUZEVOD_MODULE, "--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--module", DUZEVOD_MODULE, "--seconds", "soon"}, "--seconds"},
      {{"--module", DUZEVOD_MODULE, "--interval", "0"}, "--interval"},
      {{"--module", DUZEVOD_MODULE, "--write", "2:16=1"}, "SLOT:BIT=VALUE@SECONDS"},
      {{"--module", DUZEVOD_MODULE, "--write", "70000:1=1@0"}, "SLOT:BIT=VALUE@SECONDS"},
      {{"--module", DUZEVOD_MODULE, "--seconds", "1", "--write", "2:16=1@5"}, "after the end"},
      {{"--module"}, "--module needs a value"},
  };
  for (const Case& c : cases) {
    const HostRun run = runHost(c.args);
    EXPECT_EQ(run.status, 2) << c.reason;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  const HostRun help = runHost({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--write SLOT:BIT=VALUE@SECONDS"), std::string::npos);
}

TEST(HostProgram, ReportsAModuleThatCannotBeLoaded) {
  const HostRun missing = runHost({"--module", "/nonexistent/libduzevod.so", "--seconds", "0"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot load module '/nonexistent/libduzevod.so'"), std::string::npos)
      << missing.err;

  const HostRun notTheModule = runHost({"--module", TESSARIN_LIBRARY, "--seconds", "0"});
  EXPECT_EQ(notTheModule.status, 1);
  EXPECT_NE(notTheModule.err.find("exports no GetDataForDUZEvoder"), std::string::npos) << notTheModule.err;
  EXPECT_TRUE(notTheModule.out.empty());
}

// The exports called directly, as the host does, on a module loaded into this process.
class LoadedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DUZEVOD_DIR", dir.path().c_str(), 1);
    unsetenv("DUZEVOD_OPERATOR");
    handle = dlopen(DUZEVOD_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle) {
      EXPECT_EQ(dlclose(handle), 0);
    }
  }
  template <typename Fn>
  Fn get(const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
  }

  TempDir dir{"duzevod-host-test"};
  void* handle = nullptr;
};

TEST_F(LoadedLibrary, ExportsAnswerAsTheHostExpects) {
  const auto getData = get<GetDataForDUZEvoderFn>("GetDataForDUZEvoder");
  const auto setAn = get<SetTagValueFn>("SetAnTagValue");
  const auto setBit = get<SetTagValueFn>("SetBitTagValue");
  const auto setInt = get<SetTagValueFn>("SetIntTagValue");
  const auto giveString = get<GiveStringFn>("GiveString");
  const auto onShutDown = get<OnShutDownFn>("OnShutDown");
  ASSERT_TRUE(getData && setAn && setBit && setInt && giveString && onShutDown);

  DeviceStatusRecord* table = getData();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(getData(), table);
  // The module lives on the heap; a table inside the library's image would be the fallback of a load
  // that could not build the module.
  Dl_info info{};
  EXPECT_EQ(dladdr(table, &info), 0) << "status table inside " << (info.dli_fname ? info.dli_fname : "?");
  std::vector<unsigned char> before(reinterpret_cast<unsigned char*>(table),
                                    reinterpret_cast<unsigned char*>(table + kSlots));
  EXPECT_EQ(table[0].online, 1);
  EXPECT_STREQ(table[0].deviceName, "Device1");
  EXPECT_STREQ(table[30].deviceName, "Device31");

  EXPECT_EQ(setAn(0, 0x3F800000), 0u);
  EXPECT_EQ(setInt((3u << 16) | 1, 12345), 0u);
  EXPECT_EQ(setBit(0, 1) & 0xFF, 0u);                // slot 0 holds no alarm instrument
  EXPECT_EQ(setBit((31u << 16) | 0, 1) & 0xFF, 0u);  // there is no slot 31
  giveString("baud=9600 parity=E data=8 stop=2", "COM3", "12", "Abort");
  giveString(std::string(500, 'x').c_str(), std::string(500, 'y').c_str(), "123", nullptr);
  onShutDown();

  // None of that changed what the host reads.
  EXPECT_EQ(std::memcmp(before.data(), table, before.size()), 0);
  EXPECT_EQ(getData(), table);
}

TEST_F(LoadedLibrary, ShowsOnlyItsSixExports) {
  // The core's own symbols stay inside, so they cannot clash with the host's.
  EXPECT_EQ(dlsym(handle, "_ZN3duz6Module10runStartupEv"), nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN3duz5shell11libraryLoadEv"), nullptr);
}

TEST_F(LoadedLibrary, UnloadAndReloadGivesAFreshModule) {
  const auto getData = get<GetDataForDUZEvoderFn>("GetDataForDUZEvoder");
  ASSERT_NE(getData, nullptr);
  EXPECT_STREQ(getData()[4].deviceName, "Device5");
  ASSERT_EQ(dlclose(handle), 0);
  handle = dlopen(DUZEVOD_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto again = get<GetDataForDUZEvoderFn>("GetDataForDUZEvoder");
  ASSERT_NE(again, nullptr);
  DeviceStatusRecord* table = again();
  for (int s = 0; s < kSlots; ++s) {
    EXPECT_EQ(table[s].online, 1);
    EXPECT_EQ(table[s].analogCount + table[s].bitCount + table[s].intCount, 0);
    EXPECT_EQ(std::string(table[s].deviceName), "Device" + std::to_string(s + 1));
  }
}

TEST(Tessarin, StoresEachPublicationIntoItsRecord) {
  AnalogTagHandle analog{};
  BitTagHandle bit{};
  IntTagHandle integer{};
  exposeAnTag(&analog, 21.5f, QualityGood, 0x89ABCDEF, 0x01234567);
  exposeBitTag(&bit, 1, QualitySensorFailure, 2, 1);
  exposeIntTag(&integer, -5, QualityDeviceFailure, 0xFFFFFFFF, 0);
  EXPECT_EQ(float{analog.value}, 21.5f);
  EXPECT_EQ(std::uint32_t{analog.quality}, QualityGood);
  EXPECT_EQ(std::uint64_t{analog.timestamp}, 0x0123456789ABCDEFull);
  EXPECT_EQ(int{bit.value}, 1);
  EXPECT_EQ(std::uint32_t{bit.quality}, QualitySensorFailure);
  EXPECT_EQ(std::uint64_t{bit.timestamp}, 0x100000002ull);
  EXPECT_EQ(std::int32_t{integer.value}, -5);
  EXPECT_EQ(std::uint64_t{integer.timestamp}, 0xFFFFFFFFull);
  EXPECT_TRUE(analog.name == nullptr);          // the record's name is the module's, never touched here
  exposeIntTag(nullptr, 1, QualityGood, 0, 0);  // a null record is ignored
}

TEST(Tessarin, AReaderHoldingTheLockSeesWholePublications) {
  IntTagHandle h{};
  std::thread publisher([&] {
    for (std::uint32_t i = 1; i <= 20000; ++i) exposeIntTag(&h, static_cast<std::int32_t>(i), i, i, 0);
  });
  int torn = 0;
  for (int r = 0; r < 20000; ++r) {
    tessarinLock();
    const auto value = static_cast<std::uint32_t>(h.value);
    const std::uint32_t quality = h.quality;
    const std::uint64_t timestamp = h.timestamp;
    tessarinUnlock();
    torn += value != quality || timestamp != quality;
  }
  publisher.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(std::int32_t{h.value}, 20000);
}

}  // namespace
}  // namespace duz::test
