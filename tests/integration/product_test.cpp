// The product around the module, as people use it: the one-command demonstration, the configuration
// tool on files the module writes and reads, the frame trace of real exchanges, and the simulator's
// drifting values.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "host_json.h"
#include "link_harness.h"
#include "temp_dir.h"

namespace duz::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool hasLine(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  for (const auto& line : linesOf(text))
    if (std::regex_search(line, re)) return true;
  return false;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string hex(const Bytes& bytes) {
  std::string out;
  char b[4];
  for (auto x : bytes) {
    std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", x);
    out += b;
  }
  return out;
}

// duzevod-host on the module with the given environment settings (NAME=VALUE), nothing else of ours
// inherited.
Finished runHost(const std::vector<std::string>& settings, const std::vector<std::string>& args,
                 int timeoutMs = 30000) {
  std::vector<std::string> argv = {"/usr/bin/env",  "-u", "DUZEVOD_OPERATOR", "-u",
                                   "DUZEVOD_TRACE", "-u", "DUZEVOD_PORTS"};
  argv.insert(argv.end(), settings.begin(), settings.end());
  argv.insert(argv.end(), {DUZ_HOST, "--module", DUZ_MODULE});
  argv.insert(argv.end(), args.begin(), args.end());
  return runToEnd(argv, timeoutMs);
}

// The tag names of every slot in the first JSON snapshot, one text per slot.
std::vector<std::string> tagNames(const std::string& out) {
  std::vector<std::string> slots;
  const auto lines = linesOf(out);
  if (lines.empty()) return slots;
  const auto snapshot = parseJson(lines[0]);
  if (!snapshot) return slots;
  for (const Json& device : snapshot->at("devices")) {
    std::string names;
    for (const char* kind : {"analog", "bit", "int"})
      for (const Json& tag : device.at(kind))
        names += std::string(kind) + ":" + tag.at("name").get<std::string>() + ";";
    slots.push_back(names);
  }
  return slots;
}

// Everything duzevod-conf show says about a file except the file's own name, checksum and description.
std::string shownConfiguration(const std::string& path) {
  const Finished shown = runToEnd({DUZ_CONF, "show", path});
  std::string out;
  for (const auto& line : linesOf(shown.out))
    if (!line.starts_with("File:") && !line.starts_with("Checksum:") && !line.starts_with("Description:") &&
        !line.starts_with("              "))
      out += line + "\n";
  return out;
}

TEST(Demo, SearchesShowsAllFiveModelsAndRestoresNextTime) {
  TempDir state{"duzevod-product"};
  const std::vector<std::string> demo = {"/bin/bash", DUZ_DEMO,     "--build",   DUZ_BUILD_DIR,
                                         "--state",   state.path(), "--seconds", "3"};
  const Finished first = runToEnd(demo, 60000);
  ASSERT_EQ(first.status, 0) << first.err << first.out;
  EXPECT_NE(first.err.find("demo: searching"), std::string::npos) << first.err;
  // Each model's values published, with units and qualities in words, under its device's header.
  for (const char* pattern : {
           R"(Device1 +slot 0 +address 1 +LUMA-12 +online)",
           R"(Device2 +slot 1 +address 2 +DEK-04 +online)",
           R"(Device3 +slot 2 +address 3 +VEKS-1 +online)",
           R"(Device4 +slot 3 +address 5 +VEKS-2 +online)",
           R"(Device5 +slot 4 +address 6 +ORTA +online)",
           R"(LUMA-12 1100: Module 1 \(BRUN\)\.Input 1 +[0-9]+(\.[0-9]+)? +good +[0-9.]+ s)",
           R"(LUMA-12 1100: Module 1 \(BRUN\)\.Input 3 +64\.1 +limit 1 +good)",
           R"(LUMA-12 1100: Module 1 \(BRUN\)\.Input 6 +0 +sensor failure)",
           R"(DEK-04 9852: Discrete inputs\.Input 1\.\.10 +[01]{4} [01]{4} [01]{2} +good)",
           R"(DEK-04 9852: Discrete outputs\.Output 1\.\.4 +1010 +good)",
           R"(Mode of blocking +0 +good)",
           R"(VEKS-1: \(-50 -- 200\)\.Value +-?[0-9]+\.[0-9] °C +good)",
           R"(VEKS-2: \(-50 -- 180\)\.Value +-?[0-9]+\.[0-9] °C +limit 1 +good)",
           R"(ORTA \(4 -- 20 mA\)\.Value +[0-9]+\.[0-9]{2} % +good)",
           R"(Device6 \.\. Device31: no device)",
       })
    EXPECT_TRUE(hasLine(first.out, pattern)) << pattern << "\n" << first.out;

  // The configuration tool reads the file the module saved: the same devices and settings.
  const std::string file = state.path() + "/DUZEvod.sys";
  const Finished shown = runToEnd({DUZ_CONF, "show", file});
  ASSERT_EQ(shown.status, 0) << shown.err;
  for (const std::string& part :
       {"Port:         " + state.path() + "/line",
        std::string("Settings:     baud=9600 parity=N data=8 stop=2"), std::string("Devices:      5"),
        std::string("Slot 0: address 1, ЛУМА-12 (LUMA-12)"),
        std::string("  Module 1:           БРУН (BRUN)\n  Module 2:           ГЕЛТ (GELT)"),
        std::string("Slot 1: address 2, ДЕК-04 (DEK-04)"), std::string("  Modules:            ЛИРК, ФО1"),
        std::string("Slot 2: address 3, ВЕКС-1 (VEKS-1)"), std::string("  Sensor type:        ТХA (K) (2)"),
        std::string("  Setpoint 1:         150 °C (raw 6554)"),
        std::string("Slot 3: address 5, ВЕКС-2 (VEKS-2)"), std::string("  Range:              -50 .. 180 °C"),
        std::string("Slot 4: address 6, ОРТА (ORTA)"), std::string("  Conversion:         linear (Лин.)"),
        std::string("  Setpoint 1:         73.25 % (raw 12000)")})
    EXPECT_NE(shown.out.find(part), std::string::npos) << part << "\n" << shown.out;
  const Finished checked = runToEnd({DUZ_CONF, "check", file});
  EXPECT_EQ(checked.status, 0);
  EXPECT_NE(checked.out.find("valid, 5 devices"), std::string::npos) << checked.out;

  // A damaged copy is refused with the place of the damage.
  std::string bytes = readText(file);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x10);
  const std::string damaged = state.path() + "/damaged.sys";
  std::ofstream(damaged, std::ios::binary) << bytes;
  const Finished refused = runToEnd({DUZ_CONF, "check", damaged});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("damaged: checksum mismatch"), std::string::npos) << refused.out;

  // The next run restores instead of searching.
  const Finished second = runToEnd(demo, 60000);
  ASSERT_EQ(second.status, 0) << second.err << second.out;
  EXPECT_NE(second.err.find("demo: restoring"), std::string::npos) << second.err;
  EXPECT_NE(second.err.find("Желаете просмотреть или изменить существующую конфигурацию  -> no"),
            std::string::npos)
      << second.err;
  EXPECT_TRUE(hasLine(second.out, R"(ORTA \(4 -- 20 mA\)\.Value +[0-9]+\.[0-9]{2} % +good)")) << second.out;
}

TEST(Demo, RefusesBadOptionsAndDocumentsItself) {
  const Finished help = runToEnd({"/bin/bash", DUZ_DEMO, "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"--seconds N", "--fresh", "--interactive", "Ctrl-C"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  const Finished bad = runToEnd({"/bin/bash", DUZ_DEMO, "--build", DUZ_BUILD_DIR, "--seconds", "soon"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--seconds wants a number"), std::string::npos) << bad.err;
}

// The text that duzevod-conf make turns into what a search of sample.bus records.
std::string sampleBusText(const std::string& port) {
  return "port " + port + R"(
device 1 LUMA-12
  modules BRUN 0 GELT 0 0 ZALS 0 0
device 2 DEK-04
  variant 9852
device 3 VEKS-1
  ident 1 0
  sensor 2
  range 0
  setpoint1 150C
  setpoint2 1638
device 4 VEKS-2
  ident 1 0
  alarm Min/Min
  sensor "Ni 100"
  range -50 180
  setpoint1 4000
  setpoint2 2000
device 5 ORTA
  ident 1 0
  alarm Max/Max
  conversion linear
  setpoint1 12000
  setpoint2 14000
)";
}

TEST(Programs, EachSaysTheProjectVersion) {
  // The version is given once, in the build; a program that printed another would mislead a bug report.
  for (const auto& [name, path] : {std::pair{"duzevod-host", DUZ_HOST}, std::pair{"duzevod-sim", DUZ_SIM},
                                   std::pair{"duzevod-conf", DUZ_CONF}}) {
    const Finished run = runToEnd({path, "--version"});
    EXPECT_EQ(run.status, 0) << name << ": " << run.err;
    EXPECT_EQ(run.out, std::string(name) + " " DUZ_VERSION "\n");
  }
}

TEST(ConfigurationTool, AMadeFileRestoresTheTagsASearchGives) {
  tools::Simulator sim(DUZ_SIM, {"--bus", DUZ_SAMPLE_BUS});
  ASSERT_TRUE(sim.started()) << sim.errorText();
  const std::string pty = sim.path();
  TempDir searched{"duzevod-product"}, made{"duzevod-product"};

  const Finished search = runHost({"DUZEVOD_DIR=" + searched.path(), "DUZEVOD_PORTS=" + pty,
                                   "DUZEVOD_OPERATOR=dialog port=" + pty + " limit=5 search; dialog exit"},
                                  {"--json", "--seconds", "0"});
  ASSERT_EQ(search.status, 0) << search.err;

  TempFile text(sampleBusText(pty));
  const Finished make = runToEnd({DUZ_CONF, "make", text.path(), made.path() + "/DUZEvod.sys"});
  ASSERT_EQ(make.status, 0) << make.err;
  EXPECT_NE(make.out.find("5 devices"), std::string::npos) << make.out;
  const Finished restore =
      runHost({"DUZEVOD_DIR=" + made.path(), "DUZEVOD_OPERATOR=answer no"}, {"--json", "--seconds", "0"});
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_NE(restore.err.find("-> no"), std::string::npos) << restore.err;  // restored, not searched

  const auto searchedTags = tagNames(search.out), restoredTags = tagNames(restore.out);
  ASSERT_EQ(searchedTags.size(), 31u) << search.out;
  EXPECT_NE(searchedTags[4].find("ORTA (4 -- 20 mA).Value"), std::string::npos);
  EXPECT_EQ(restoredTags, searchedTags);
  // Byte for byte the same records and settings: the tool shows both files alike.
  EXPECT_EQ(shownConfiguration(made.path() + "/DUZEvod.sys"),
            shownConfiguration(searched.path() + "/DUZEvod.sys"));
}

TEST(ConfigurationTool, RefusesMistakesAndBadCommandLines) {
  TempDir dir{"duzevod-product"};
  TempFile text("port COM1\ndevice 3 VEKS-1\n  sensor 2\n  range 99\n");
  const Finished wrong = runToEnd({DUZ_CONF, "make", text.path(), dir.path() + "/x.sys"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find(text.path() + ":4: no such range"), std::string::npos) << wrong.err;
  EXPECT_FALSE(fs::exists(dir.path() + "/x.sys"));

  EXPECT_EQ(runToEnd({DUZ_CONF}).status, 2);
  EXPECT_EQ(runToEnd({DUZ_CONF, "show"}).status, 2);
  EXPECT_EQ(runToEnd({DUZ_CONF, "frobnicate", "x"}).status, 2);
  EXPECT_EQ(runToEnd({DUZ_CONF, "check", dir.path() + "/missing.sys"}).status, 2);
  const Finished help = runToEnd({DUZ_CONF, "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"show FILE", "check FILE", "make TEXT-FILE FILE", "Example:", "setpoint1 150C"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

TEST(FrameTrace, HoldsTheExactFramesOfPollsAndWritesInWholeLines) {
  tools::Simulator sim(DUZ_SIM, {"--bus", DUZ_SAMPLE_BUS});
  ASSERT_TRUE(sim.started()) << sim.errorText();
  const std::string pty = sim.path();
  TempDir dir{"duzevod-product"};
  const std::string trace = dir.path() + "/trace.log";
  // Host writes of the alarm instrument's three command bits while the polling thread traces too.
  const Finished run = runHost({"DUZEVOD_DIR=" + dir.path(), "DUZEVOD_PORTS=" + pty, "DUZEVOD_TRACE=" + trace,
                                "DUZEVOD_OPERATOR=dialog port=" + pty + " limit=5 search; dialog exit"},
                               {"--json", "--seconds", "2.6", "--interval", "1000", "--write", "1:14=1@1.05",
                                "--write", "1:15=1@1.1", "--write", "1:16=1@1.15", "--write", "1:16=0@1.2"});
  ASSERT_EQ(run.status, 0) << run.err;

  const auto lines = linesOf(readText(trace));
  ASSERT_GT(lines.size(), 20u);
  const std::regex tx(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z tx( [0-9A-F]{2})+$)");
  const std::regex rx(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z rx( -|( [0-9A-F]{2})+)  result -?\d [a-zA-Z ]+  \d+ ms$)");
  for (std::size_t i = 0; i < lines.size(); ++i)
    ASSERT_TRUE(std::regex_match(lines[i], i % 2 ? rx : tx)) << i << ": " << lines[i];

  // The transducer's 6-byte measurement request and its reply (raw 4096, no limit), as they were on the line.
  const std::string request = "tx " + hex(sealed({0x03, 0x47, 0x00, 0x01}));
  const std::string reply = "rx " + hex(sealed({0x03, 0x47, 0x03, 0x10, 0x00, 0x00})) + "  result 0 ok  ";
  bool polled = false;
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2)
    polled = polled || (lines[i].ends_with(request) && lines[i + 1].find(reply) != std::string::npos);
  EXPECT_TRUE(polled) << request << " / " << reply;
  // The search's identification of the controller, and the host's reset command with its echo.
  const std::string text = readText(trace);
  EXPECT_NE(text.find("tx " + hex(sealed({0x01, 0x11}))), std::string::npos);
  EXPECT_NE(text.find("rx " + hex(sealed({0x02, 0x05, 0x00, 0x01, 0xFF, 0x00})) + "  result 0 ok"),
            std::string::npos);
}

TEST(SimulatorDrift, ValuesMoveWithinTheirEndsAndBadLinesAreRefused) {
  TempFile bus(
      "device 3 VEKS-1\n  drift raw 1000 2000 0.8\ndevice 1 LUMA-12\n  modules 1 0 0 0 0 0 0 0\n"
      "  drift channel 0 2 -5 5 0.8\ndevice 2 DEK-04\n  drift input 3 0.2\n");
  tools::Simulator sim(DUZ_SIM, {"--bus", bus.path()});
  ASSERT_TRUE(sim.started()) << sim.errorText();
  const std::string path = sim.path();
  const auto shown = sim.commandLines("show");
  EXPECT_NE(std::find(shown.begin(), shown.end(), "  drift raw 1000 2000 0.8"), shown.end());
  EXPECT_NE(std::find(shown.begin(), shown.end(), "  drift input 3 0.2"), shown.end());

  LineLink line;
  ASSERT_TRUE(line.open(path));
  line.link.pollingActive = 1;
  std::set<int> raws, inputs;
  std::set<std::string> texts;
  for (int i = 0; i < 6; ++i) {
    Bytes reply;
    ASSERT_EQ(line.exchange({3, 0x47, 0, 1}, reply), 0);
    const int raw = reply[3] << 8 | reply[4];
    EXPECT_GE(raw, 1000);
    EXPECT_LE(raw, 2000);
    raws.insert(raw);
    ASSERT_EQ(line.exchange({1, 0x47, 0, 6}, reply), 0);
    const std::string channel(reply.begin() + 3 + 16, reply.begin() + 3 + 24);
    EXPECT_TRUE(std::regex_match(channel, std::regex(R"( *-?[0-9]\.[0-9]{2} )"))) << '"' << channel << '"';
    texts.insert(channel);
    ASSERT_EQ(line.exchange({2, 2, 0, 0, 0, 32}, reply), 0);
    inputs.insert((reply[3] >> 3) & 1);
    usleep(130'000);
  }
  EXPECT_GT(raws.size(), 2u);
  EXPECT_GT(texts.size(), 2u);
  EXPECT_EQ(inputs.size(), 2u);

  const struct {
    const char* text;
    const char* message;
  } bad[] = {
      {"device 3 VEKS-1\n  drift channel 0 0 1 2 3\n", ":2: usage: drift raw LOW HIGH SECONDS"},
      {"device 1 LUMA-12\n  drift channel 9 0 1 2 3\n", ":2: the slot is 0..7"},
      {"device 5 ORTA\n  drift raw 1 2 0\n", ":2: SECONDS must be from 0.1"},
      {"device 5 ORTA\n  drift raw low 2 5\n", ":2: LOW and HIGH must be numbers"},
  };
  for (const auto& c : bad) {
    TempFile file(c.text);
    const Finished r = runToEnd({DUZ_SIM, "--bus", file.path()});
    EXPECT_EQ(r.status, 2) << c.text;
    EXPECT_NE(r.err.find(file.path() + c.message), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace duz::test
