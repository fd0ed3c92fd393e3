#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "fakes/fakes.h"
#include "link/link.h"
#include "link/trace.h"
#include "platform/system.h"

namespace duz::test {
namespace {

class RecordingTrace : public TraceSink {
 public:
  void append(std::string_view lines) override { text += lines; }
  std::string text;
};

// A polling link (one attempt per exchange) on a fake port with the module's read time-outs.
// The fake clock starts at 2025-12-08 16:00 UTC.
class TraceTest : public ::testing::Test {
 protected:
  TraceTest() {
    auto owned = std::make_unique<FakeSerialPort>(clock);
    port = owned.get();
    port->setTimeouts({100, 2, 500});
    link.port = std::move(owned);
    link.pollingActive = 1;
    link.setTrace(&trace);
  }

  int run(const Bytes& request, Bytes reply) {
    port->responder = [reply](const Bytes&) { return reply; };
    std::uint8_t response[260] = {};
    return link.Transaction(static_cast<int>(request.size()), request.data(), response, sizeof response);
  }

  FakeClock clock;
  Link link{clock};
  FakeSerialPort* port = nullptr;
  RecordingTrace trace;
};

TEST(TraceTime, IsUtcWithMilliseconds) {
  EXPECT_EQ(traceTime(134410752000000000ull), "2026-12-07T00:00:00.000Z");
  EXPECT_EQ(traceTime(134410752000000000ull + 36'610'125'000ull), "2026-12-07T01:01:01.012Z");
  EXPECT_EQ(traceTime(116444736000000000ull + 10'000ull * 86'400'000 * 366), "1971-01-02T00:00:00.000Z");
}

TEST_F(TraceTest, ShowsTheExactFramesOfAMeasurementRead) {
  // The 6-byte function-71 request of the transducer at address 3 and its 8-byte reply.
  const Bytes request = withCrc({0x03, 0x47, 0x00, 0x01});
  const Bytes reply = withCrc({0x03, 0x47, 0x03, 0x10, 0x00, 0x02});
  ASSERT_EQ(run(request, reply), 0);
  char expected[256];
  std::snprintf(expected, sizeof expected,
                "2025-12-08T16:00:00.004Z tx 03 47 00 01 %02X %02X\n"
                "2025-12-08T16:00:00.004Z rx 03 47 03 10 00 02 %02X %02X  result 0 ok  0 ms\n",
                request[4], request[5], reply[6], reply[7]);
  EXPECT_EQ(trace.text, expected);
}

TEST_F(TraceTest, NamesWhatWentWrongWithTheDurationOfTheAttempt) {
  const Bytes request = withCrc({0x03, 0x47, 0x00, 0x01});
  Bytes badCrc = withCrc({0x03, 0x47, 0x03, 0x10, 0x00, 0x02});
  badCrc.back() ^= 0xFF;
  const struct {
    Bytes reply;
    int result;
    std::string tail;
  } cases[] = {
      // Nothing comes: the header read waits 500 + 2 x 3 ms.
      {{}, -1, " rx -  result -1 no reply  506 ms\n"},
      {{0x03, 0x47}, -1, " rx 03 47  result -1 short reply  100 ms\n"},
      {withCrc({0x04, 0x47, 0x01, 0x00}), 1, "  result 1 wrong address  0 ms\n"},
      {withCrc({0x03, 0xC7, 0x04}), 2, "  result 2 exception  0 ms\n"},
      {withCrc({0x03, 0x11, 0x01, 0x00}), 2, "  result 2 wrong function  0 ms\n"},
      {badCrc, -1, "  result -1 bad CRC  0 ms\n"},
      // The header announces 4 data bytes; only 3 come.
      {withCrc({0x03, 0x47, 0x04, 0x10, 0x00, 0x02}), -1, "  result -1 short reply  100 ms\n"},
  };
  for (const auto& c : cases) {
    trace.text.clear();
    EXPECT_EQ(run(request, c.reply), c.result);
    EXPECT_TRUE(trace.text.ends_with(c.tail)) << trace.text;
    EXPECT_EQ(std::count(trace.text.begin(), trace.text.end(), '\n'), 2) << trace.text;
  }
}

TEST_F(TraceTest, EveryAttemptOfTheSearchIsTraced) {
  link.pollingActive = 0;
  EXPECT_EQ(run(withCrc({0x09, 0x11}), {}), -1);
  // Five attempts, each a request line and a reply line, each after the previous one's pause.
  std::istringstream lines(trace.text);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 10u);
  EXPECT_EQ(all[0].substr(0, 24), "2025-12-08T16:00:00.004Z");
  EXPECT_EQ(all[2].substr(0, 24), "2025-12-08T16:00:01.014Z");  // 4 + 506 + 500 + 4 ms
}

TEST(TraceFile, KeepsLinesWholeUnderConcurrentWriters) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("duzevod-trace-test-" + std::to_string(::getpid()) + ".log"))
          .string();
  std::remove(path.c_str());
  ::setenv("DUZEVOD_TRACE", path.c_str(), 1);
  std::unique_ptr<TraceSink> sink = makeFileTrace(openSystemTraceFile());
  ::unsetenv("DUZEVOD_TRACE");
  ASSERT_TRUE(sink);
  EXPECT_FALSE(makeFileTrace(openSystemTraceFile()));  // unset: no trace

  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([&, w] {
      const std::string lines =
          "writer " + std::to_string(w) + std::string(300, 'x') + "\nsecond " + std::to_string(w) + "\n";
      for (int i = 0; i < 200; ++i) sink->append(lines);
    });
  for (auto& t : writers) t.join();
  sink.reset();

  std::ifstream in(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(in, line);) all.push_back(line);
  std::remove(path.c_str());
  ASSERT_EQ(all.size(), 1600u);
  for (std::size_t i = 0; i < all.size(); i += 2) {
    ASSERT_TRUE(all[i].starts_with("writer ")) << i;
    const char w = all[i][7];
    ASSERT_EQ(all[i], "writer " + std::string(1, w) + std::string(300, 'x'));
    ASSERT_EQ(all[i + 1], "second " + std::string(1, w));
  }
}

}  // namespace
}  // namespace duz::test
