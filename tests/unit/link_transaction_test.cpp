#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "fakes/fakes.h"
#include "link/link.h"

namespace duz::test {
namespace {

TEST(Crc16, KnownVectors) {
  const char* text = "123456789";
  EXPECT_EQ(Crc16(9, reinterpret_cast<const std::uint8_t*>(text)), 0x4B37);
  std::uint8_t readCoil[8] = {0x01, 0x01, 0x00, 0xF0, 0x00, 0x01};
  putCrc(readCoil, 8);
  EXPECT_EQ(readCoil[6], 0xFD);
  EXPECT_EQ(readCoil[7], 0xF9);
  std::uint8_t writeCoil[8] = {0x01, 0x05, 0x00, 0xF0, 0xFF, 0x00};
  putCrc(writeCoil, 8);
  EXPECT_EQ(writeCoil[6], 0x8C);
  EXPECT_EQ(writeCoil[7], 0x09);
}

TEST(BaudFromSettings, ReadsTheSpeedAndRefusesNonsense) {
  EXPECT_EQ(baudFromSettings("baud=19200 parity=N data=8 stop=1"), 19200u);
  EXPECT_EQ(baudFromSettings("parity=N"), 0u);
  EXPECT_EQ(baudFromSettings(nullptr), 0u);
  EXPECT_EQ(baudFromSettings("baud=99999999999999999999"), 0u);
}

// A link on a fake port with the module's read time-outs; the far end answers through `reply`.
class TransactionTest : public ::testing::Test {
 protected:
  TransactionTest() {
    auto owned = std::make_unique<FakeSerialPort>(clock);
    port = owned.get();
    port->setTimeouts({100, 2, 500});
    port->responder = [this](const Bytes& request) { return reply(request, ++attempts); };
    link.port = std::move(owned);
  }

  // The identification request of address 7.
  static Bytes identRequest() { return withCrc({0x07, 0x11}); }
  static Bytes identReply() { return withCrc({0x07, 0x11, 0x03, 0x0A, 0x0B, 0x66}); }

  int run(const Bytes& request, int capacity = 260) {
    return link.Transaction(static_cast<int>(request.size()), request.data(), response, capacity);
  }

  FakeClock clock;
  Link link{clock};
  FakeSerialPort* port = nullptr;
  int attempts = 0;
  std::function<Bytes(const Bytes&, int attempt)> reply = [](const Bytes&, int) { return Bytes{}; };
  std::uint8_t response[300] = {};
};

std::vector<std::uint32_t> pauses(int n) {
  return std::vector<std::uint32_t>(n, 500);
}

TEST_F(TransactionTest, AnswerArrivesWholeAndChecked) {
  reply = [](const Bytes&, int) { return identReply(); };
  EXPECT_EQ(run(identRequest()), 0);
  const Bytes expected = identReply();
  EXPECT_EQ(Bytes(response, response + expected.size()), expected);
  EXPECT_EQ(port->writes(), std::vector<Bytes>{identRequest()});
  EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(TransactionTest, SilentDeviceWhilePollingCostsOneReadTimeOutAndOnePause) {
  link.pollingActive = 1;
  link.setBaud(9600);
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(clock.sleeps(), pauses(1));
  // Inter-frame gap (3.5 characters at 9600 bit/s) + 3-byte header read time-out + pause.
  EXPECT_EQ(clock.pausedMicroseconds(), 4010u);
  EXPECT_EQ(clock.monotonicMs(), 4u + 506u + 500u);
}

TEST_F(TransactionTest, StopEndsTheExchangeInsteadOfItsPauseAndFurtherAttempts) {
  // Unloading must not wait out the pause after a failed attempt.
  StopSignal stop;
  link.stop = &stop;
  stop.request();
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_EQ(attempts, 1);
  EXPECT_TRUE(clock.sleeps().empty());

  attempts = 0;
  reply = [](const Bytes&, int) { return withCrc({0x07, 0x91, 0x01}); };  // exception reply
  EXPECT_EQ(run(identRequest()), kWrongFunction);
  EXPECT_EQ(attempts, 1);
}

TEST_F(TransactionTest, SilentDeviceBeforePollingGetsFiveAttempts) {
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_EQ(attempts, 5);
  EXPECT_EQ(clock.sleeps(), pauses(5));
}

TEST_F(TransactionTest, WrongAddressAndExceptionReportOnlyAfterTheHeaderBudget) {
  reply = [](const Bytes&, int) { return withCrc({0x08, 0x11, 0x03, 0x0A, 0x0B, 0x66}); };
  EXPECT_EQ(run(identRequest()), kWrongAddress);
  EXPECT_EQ(attempts, 5);
  EXPECT_EQ(clock.sleeps(), pauses(5));

  attempts = 0;
  clock.clearSleeps();
  reply = [](const Bytes&, int) { return withCrc({0x07, 0x91, 0x01}); };  // exception reply
  EXPECT_EQ(run(identRequest()), kWrongFunction);
  EXPECT_EQ(attempts, 5);

  attempts = 0;
  clock.clearSleeps();
  link.pollingActive = 1;
  EXPECT_EQ(run(identRequest()), kWrongFunction);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(clock.sleeps(), pauses(1));
}

TEST_F(TransactionTest, LaterAttemptSucceedsAfterFailures) {
  reply = [](const Bytes&, int attempt) {
    if (attempt == 1) return Bytes{};                      // silent
    if (attempt == 2) return withCrc({0x07, 0x91, 0x01});  // exception
    Bytes r = identReply();
    if (attempt == 3) r.back() ^= 0xFF;  // bad CRC
    return r;
  };
  EXPECT_EQ(run(identRequest()), 0);
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(clock.sleeps(), pauses(3));
}

TEST_F(TransactionTest, TenBodyFailuresEndIt) {
  reply = [](const Bytes&, int) {
    Bytes r = identReply();
    r[3] ^= 1;
    return r;
  };
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_EQ(attempts, 10);
  EXPECT_EQ(clock.sleeps(), pauses(10));
}

TEST_F(TransactionTest, FourHeaderFailuresMayPrecedeEachBodyFailure) {
  reply = [](const Bytes&, int attempt) {
    if (attempt % 5 != 0) return Bytes{};
    Bytes r = identReply();
    r.pop_back();  // short body
    return r;
  };
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_EQ(attempts, 50);
  EXPECT_EQ(clock.sleeps(), pauses(50));
}

TEST_F(TransactionTest, FifthHeaderFailureInARowEndsIt) {
  // One body failure refills the header budget; five header failures follow and end the transaction
  // with the last one's result.
  reply = [](const Bytes&, int attempt) {
    if (attempt == 1) return Bytes{0x07, 0x11, 0x03};
    if (attempt == 6) return withCrc({0x09, 0x11, 0x00});
    return Bytes{};
  };
  EXPECT_EQ(run(identRequest()), kWrongAddress);
  EXPECT_EQ(attempts, 6);
}

TEST_F(TransactionTest, ShortWriteEndsAtOnceWithoutPause) {
  port->writeLimit = 2;
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_EQ(port->writes().size(), 1u);
  EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(TransactionTest, NoPortFailsLikeAFailedWrite) {
  link.port.reset();
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(TransactionTest, FramesTooShortForAnAddressAndFunctionAreRefused) {
  const std::uint8_t one[1] = {0x07};
  EXPECT_EQ(link.Transaction(1, one, response, 260), -1);
  EXPECT_TRUE(port->writes().empty());
}

TEST_F(TransactionTest, ByteCountZeroIsACompleteFiveByteFrame) {
  const Bytes request = withCrc({0x02, 0x02, 0x00, 0x00, 0x00, 0x00});
  reply = [](const Bytes&, int) { return withCrc({0x02, 0x02, 0x00}); };
  EXPECT_EQ(run(request, 5), 0);
  EXPECT_EQ(attempts, 1);
}

TEST_F(TransactionTest, WriteCoilExpectsAnEightByteEcho) {
  const Bytes request = withCrc({0x01, 0x05, 0x00, 0xF0, 0xFF, 0x00});
  ASSERT_EQ(request, (Bytes{0x01, 0x05, 0x00, 0xF0, 0xFF, 0x00, 0x8C, 0x09}));
  reply = [](const Bytes& r, int) { return r; };
  EXPECT_EQ(run(request, 8), 0);
  EXPECT_EQ(Bytes(response, response + 8), request);

  // Byte 2 of the echo (0x00) is no byte count: a 7-byte answer is a short body.
  link.pollingActive = 1;
  attempts = 0;
  reply = [](const Bytes& r, int) { return Bytes(r.begin(), r.end() - 1); };
  EXPECT_EQ(run(request, 8), -1);
  EXPECT_EQ(attempts, 1);
}

TEST_F(TransactionTest, ReplyLongerThanTheBufferIsAFailedAttempt) {
  link.pollingActive = 1;
  const Bytes request = withCrc({0x01, 0x47, 0x00, 0x18});
  reply = [](const Bytes&, int) {
    Bytes r{0x01, 0x47, 216};
    r.resize(3 + 216, '0');
    return withCrc(r);
  };
  std::memset(response, 0xAA, sizeof response);
  EXPECT_EQ(run(request, 100), -1);
  for (std::size_t i = 100; i < sizeof response; ++i) ASSERT_EQ(response[i], 0xAA) << i;
  EXPECT_EQ(run(request, 260), 0);
}

TEST_F(TransactionTest, SurplusBytesArePurgedBeforeTheNextAttempt) {
  // A stray byte ahead of the first reply spoils its header; the rest of that reply still waits in the
  // receive buffer. The purge before the next request must drop it, or the second attempt reads it.
  reply = [](const Bytes&, int attempt) {
    Bytes r = identReply();
    if (attempt == 1) r.insert(r.begin(), 0x55);
    return r;
  };
  EXPECT_EQ(run(identRequest()), 0);
  EXPECT_EQ(attempts, 2);
}

TEST_F(TransactionTest, GapBeforeEachRequestFollowsTheLineSpeed) {
  link.setBaud(19200);
  EXPECT_EQ(run(identRequest()), -1);
  EXPECT_EQ(clock.pausedMicroseconds(), 5u * 2005u);  // five attempts, 3.5 characters each

  const std::uint64_t before = clock.pausedMicroseconds();
  link.setBaud(115200);  // 3.5 characters would be 0.33 ms: the floor of 1.75 ms applies
  link.pollingActive = 1;
  run(identRequest());
  EXPECT_EQ(clock.pausedMicroseconds() - before, 1750u);

  // Quiet the port has already seen counts towards the gap: polling's 10 ms wait leaves none to wait.
  link.setBaud(9600);
  port->quiet = 1'000'000;
  const std::uint64_t beforeQuiet = clock.pausedMicroseconds();
  run(identRequest());
  EXPECT_EQ(clock.pausedMicroseconds() - beforeQuiet, 3010u);
  port->quiet = 10'000'000;
  run(identRequest());
  EXPECT_EQ(clock.pausedMicroseconds() - beforeQuiet, 3010u);

  link.setBaud(0);
  EXPECT_EQ(link.baud(), 9600u);
  link.setBaud(10);
  EXPECT_EQ(link.baud(), 9600u);
}

}  // namespace
}  // namespace duz::test
