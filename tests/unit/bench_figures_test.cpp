// The benchmark's arithmetic: what the page compares the measurements with must itself be right.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "figures.h"

namespace duz::bench {
namespace {

TEST(BenchFigures, SummaryInterpolatesBetweenRanks) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);  // unsorted on purpose
  const Summary s = summarize(samples);
  EXPECT_EQ(s.count, 100u);
  EXPECT_DOUBLE_EQ(s.median, 50.5);
  EXPECT_DOUBLE_EQ(s.p25, 25.75);
  EXPECT_DOUBLE_EQ(s.p99, 99.01);
  EXPECT_DOUBLE_EQ(s.min, 1);
  EXPECT_DOUBLE_EQ(s.max, 100);
  EXPECT_EQ(summarize({}).count, 0u);
  EXPECT_DOUBLE_EQ(summarize({7}).p99, 7);
}

TEST(BenchFigures, LineTimesAtElevenBitsACharacter) {
  EXPECT_NEAR(characterMs(9600), 1.1458, 1e-4);
  EXPECT_NEAR(gapMs(9600), 4.0104, 1e-4);
  EXPECT_DOUBLE_EQ(gapMs(115200), 1.75);  // the standard's floor above 19200 bit/s
  // The controller's block read: 6 bytes out, 221 back.
  EXPECT_NEAR(wireMs(9600, requestBytes(Kind::ControllerBlock), replyBytes(Kind::ControllerBlock)), 260.1,
              0.05);
  EXPECT_EQ(replyBytes(Kind::WriteCoil), 8);
}

TEST(BenchFigures, CycleFormulaComesFromTheLineAndTheSpecifiedWaitsAlone) {
  const double c = characterMs(9600), turnaround = gapMs(9600);
  EXPECT_DOUBLE_EQ(cycleFormulaMs(0, 9600), 1000);
  // Controller (6 + 221 bytes), alarm instrument (8 + 9, 8 + 7, 8 + 6), three transducers (6 + 8 each):
  // 7 transactions, each after 10 ms and with the instrument's 3.5 characters.
  const double bytes = (6 + 221) + (8 + 9) + (8 + 7) + (8 + 6) + 3 * (6 + 8);
  EXPECT_NEAR(cycleFormulaMs(5, 9600), 1000 + 5 * 50 + 7 * (10 + turnaround) + bytes * c, 1e-9);
  EXPECT_NEAR(exchangeFormulaMs(9600, Kind::ControllerBlock), 264.1, 0.05);
  // The full bus: 31 devices, 43 transactions, 2117 bytes on the line.
  EXPECT_EQ(transactionsOf(31), 43);
  EXPECT_NEAR(cycleFormulaMs(31, 9600), 1000 + 31 * 50 + 43 * (10 + turnaround) + 2117 * c, 1e-9);
}

TEST(BenchFigures, SickBusFormulaChargesTimeOutsPausesAndEndsThePoll) {
  const double clean = cycleFormulaMs(9, 9600);
  // A silent alarm instrument makes one transaction, not three: 10 ms, the header's 506 ms, the pause.
  double alarm = 0;
  for (Kind k : pollOf(Model::Alarm)) alarm += 10 + exchangeFormulaMs(9600, k);
  EXPECT_NEAR(cycleFormulaMs(9, 9600, {.silent = {7}}), clean - alarm + 10 + 506 + 500, 1e-9);
  // A bad CRC costs the whole exchange and the pause.
  EXPECT_NEAR(cycleFormulaMs(9, 9600, {.badCrc = {9}}), clean + 500, 1e-9);
  // Addresses beyond the bus change nothing.
  EXPECT_DOUBLE_EQ(cycleFormulaMs(5, 9600, {.silent = {7}}), cycleFormulaMs(5, 9600));
}

TEST(BenchFigures, WakeUpFloorOfTheSpecifiedWaits) {
  // 1 cycle sleep + 31 device sleeps + 43 sleeps before a request + 43 waits for a reply.
  EXPECT_EQ(wakeUpFloor(31), 118);
  EXPECT_EQ(wakeUpFloor(1), 4);
  // A silent alarm instrument: one transaction and its pause instead of three transactions.
  EXPECT_EQ(wakeUpFloor(31, {.silent = {7}}), 118 - 6 + 3);
  EXPECT_EQ(wakeUpFloor(31, {.silent = {8}, .badCrc = {9}}), 118 + 2);
  // Reading header and body apart: three waits a transaction, and a controller's 218-byte body at 9600
  // bit/s (250 ms) two looks more; at 115200 bit/s (21 ms) none.
  EXPECT_EQ(twoReadWakeUpFloor(31, 9600), 1 + 31 + 43 * 3 + 7 * 2);
  EXPECT_EQ(twoReadWakeUpFloor(31, 115200), 1 + 31 + 43 * 3);
}

TEST(BenchFigures, RecordedFormulaGoesOverTheRequestsOnTheLine) {
  // A controller at 1 and an alarm instrument at 2, two cycles. In the second, the controller's reply
  // and the alarm instrument's first one fail (the master pauses 500 ms after each, which ends the
  // alarm instrument's poll).
  const double c = characterMs(9600) * 1000;
  double t = 0;
  std::vector<RecordLine> record;
  const auto bytes = [](std::initializer_list<std::uint8_t> head, std::size_t size) {
    std::vector<std::uint8_t> b(head);
    b.resize(size);
    return b;
  };
  // A request after `waitMs` of the master's, recorded 3.5 characters after its end; its reply.
  const auto exchange = [&](double waitMs, std::vector<std::uint8_t> request, std::size_t reply) {
    t += waitMs * 1000 + static_cast<double>(request.size()) * c + gapMs(9600) * 1000;
    record.push_back({t, "rx", request});
    record.push_back({t, "tx", bytes({request[0], request[1]}, reply)});
    t += static_cast<double>(reply) * c;
  };
  const auto controller = bytes({1, 71, 0, 24}, 6), inputs = bytes({2, 2, 0, 0, 0, 32}, 8),
             coils = bytes({2, 1, 0, 0, 0, 16}, 8), blocking = bytes({2, 1, 0, 0xF0, 0, 1}, 8);
  exchange(1060, controller, 221);
  exchange(60, inputs, 9);
  exchange(10, coils, 7);
  exchange(10, blocking, 6);
  exchange(1060, controller, 221);
  record.push_back({t + 100, "noise", {0x5A}});
  exchange(560, inputs, 9);
  exchange(1560, controller, 221);  // the third poll's start ends the span
  double spoiled = 0;
  const double e =
      10 + exchangeFormulaMs(9600, Kind::ControllerBlock) + 10 + exchangeFormulaMs(9600, Kind::AlarmInputs);
  const double expected = 1000 + 2 * 50 +
                          (2 * e + 2 * 500 + 20 + exchangeFormulaMs(9600, Kind::AlarmCoils) +
                           exchangeFormulaMs(9600, Kind::BlockingCoil)) /
                              2;
  EXPECT_NEAR(recordedCycleFormulaMs(record, 9600, 2, {}, &spoiled), expected, 1e-6);
  EXPECT_DOUBLE_EQ(spoiled, 1);
  // The record's cycle: from the first poll of address 1 to the last.
  EXPECT_NEAR(recordedCycleMs(record), (record.back().us - record.front().us) / 1000 / 2, 1e-9);
  // A clean record gives the plain formula; a bad CRC adds the pause to every exchange of its device.
  record.resize(8);
  t = record.back().us + 221 * c;
  exchange(1060, controller, 221);
  EXPECT_NEAR(recordedCycleFormulaMs(record, 9600, 2, {}), cycleFormulaMs(2, 9600), 1e-6);
  EXPECT_NEAR(recordedCycleFormulaMs(record, 9600, 2, {.badCrc = {1}}), cycleFormulaMs(2, 9600) + 500, 1e-6);
  EXPECT_TRUE(std::isnan(recordedCycleFormulaMs({}, 9600, 2, {})));
  // Noise ends a silent device's wait for its header: 2 bytes 200 ms into it, then 100 ms of quiet.
  const std::vector<RecordLine> silent = {
      {1e6, "rx", controller}, {1e6 + 200'000, "noise", {1, 2}}, {3e6, "rx", controller}};
  EXPECT_NEAR(recordedCycleFormulaMs(silent, 9600, 1, {.silent = {1}}),
              1050 + 10 + gapMs(9600) + 200 + 2 * characterMs(9600) + 100 + 500, 1e-6);
  EXPECT_TRUE(std::isnan(recordedCycleMs({record.front()})));
}

TEST(BenchFigures, SystemCallsOfOneThreadWithinTheWindow) {
  std::istringstream log(
      "100 10.000001 futex(0x5580, FUTEX_WAIT_BITSET_PRIVATE, 0, {tv_sec=1}, FUTEX_BITSET_MATCH_ANY "
      "<unfinished ...>\n"
      "101 10.000100 clock_nanosleep(CLOCK_MONOTONIC, 0, {tv_sec=0, tv_nsec=100000000}, NULL) = 0\n"
      "100 11.000002 <... futex resumed>) = -1 ETIMEDOUT (Connection timed out)\n"
      "100 11.000010 ppoll([{fd=5, events=POLLIN}], 1, {tv_sec=0, tv_nsec=506000000}, NULL, 8) = 1\n"
      "100 11.000020 read(5, \"\\x01G\", 3) = 2\n"
      "100 11.000030 --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED} ---\n"
      "100 12.500000 read(5, \"\", 3) = 0\n"
      "100 13.000000 +++ exited with 0 +++\n");
  const auto calls = systemCallsIn(log, 100, 10.0, 12.0);
  EXPECT_EQ(calls, (std::map<std::string, double>{{"futex", 1}, {"ppoll", 1}, {"read", 1}}));
  std::istringstream again("7 1.0 write(1, \"x\", 1) = 1\n8 1.5 write(1, \"y\", 1) = 1\n");
  EXPECT_EQ(systemCallsIn(again, 0, 0, 2).at("write"), 2);  // any thread
}

TEST(BenchFigures, PairedDifferenceWithStudentsInterval) {
  // Differences 1, 2, 3: mean 2, standard deviation 1, t(2) = 4.303.
  const Paired p = pairedDifference({11, 12, 13}, {10, 10, 10});
  EXPECT_EQ(p.count, 3u);
  EXPECT_DOUBLE_EQ(p.mean, 2);
  EXPECT_NEAR(p.high - p.mean, 4.303 / std::sqrt(3.0), 1e-9);
  EXPECT_NEAR(p.mean - p.low, 4.303 / std::sqrt(3.0), 1e-9);
  // Only whole pairs count; one pair has no spread.
  const Paired one = pairedDifference({5, 6}, {4});
  EXPECT_EQ(one.count, 1u);
  EXPECT_DOUBLE_EQ(one.low, 1);
  EXPECT_DOUBLE_EQ(one.high, 1);
  EXPECT_EQ(pairedDifference({}, {}).count, 0u);
}

TEST(BenchFigures, RecordLinesGiveTimeKindAndBytes) {
  const auto rx = parseRecordLine("1796713551749944 rx 03 47 06 18 C4 3E");
  ASSERT_TRUE(rx);
  EXPECT_DOUBLE_EQ(rx->us, 1796713551749944.0);
  EXPECT_EQ(rx->what, "rx");
  EXPECT_EQ(rx->bytes, (std::vector<std::uint8_t>{0x03, 0x47, 0x06, 0x18, 0xC4, 0x3E}));
  const auto line = parseRecordLine("1796713563000000 line /dev/pts/7");
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->bytes.empty());
  EXPECT_FALSE(parseRecordLine("garbage"));
}

TEST(BenchFigures, SearchBudgetOfSilentAndPresentAddresses) {
  // A silent address: 10 ms and five attempts of 506 ms read time-out and 500 ms pause. The module's
  // gap only once, before the first request: every later one comes after a quiet line.
  const double gap = 4.0104;
  EXPECT_NEAR(searchBudgetMs(9600, 1, 0), gap + 10 + 5 * 1006, 1e-3);
  EXPECT_NEAR(searchBudgetMs(9600, 31, 0), gap + 31 * (10 + 5 * 1006), 1e-3);
  // A controller answers its identification only; a transducer also its parameter request.
  const double controller = searchBudgetMs(9600, 1, 1);
  EXPECT_NEAR(controller, gap + 10 + gap + (4 + 13) * characterMs(9600), 1e-3);
  const double thermocouple = searchBudgetMs(9600, 3, 3) - searchBudgetMs(9600, 2, 2);
  EXPECT_NEAR(thermocouple, 2 * (10 + gap) + (12 + 20) * characterMs(9600), 1e-3);
}

TEST(BenchFigures, TraceLinesGiveTheTimeOfARequest) {
  const auto at = tracedRequestMs("2026-12-08T10:05:01.204Z tx 02 05 00 F0 FF 00 8C 3A", 5);
  ASSERT_TRUE(at);
  EXPECT_DOUBLE_EQ(*at, 1796724301204.0);
  EXPECT_FALSE(tracedRequestMs("2026-12-08T10:05:01.204Z tx 02 01 00 00 00 10 3D F5", 5));
  EXPECT_FALSE(tracedRequestMs("2026-12-08T10:05:01.212Z rx 02 05 00 F0 FF 00 8C 3A  result 0 ok  8 ms", 5));
  EXPECT_FALSE(tracedRequestMs("garbage", 5));
}

}  // namespace
}  // namespace duz::bench
