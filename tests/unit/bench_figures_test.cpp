// The benchmark's arithmetic: what the page compares the measurements with must itself be right.
#include <gtest/gtest.h>

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

TEST(BenchFigures, CycleFormulaCountsEveryTransactionOfTheModels) {
  std::vector<double> exchange(kKinds, 0);
  exchange[static_cast<int>(Kind::ControllerBlock)] = 200;
  exchange[static_cast<int>(Kind::AlarmInputs)] = 20;
  exchange[static_cast<int>(Kind::AlarmCoils)] = 18;
  exchange[static_cast<int>(Kind::BlockingCoil)] = 17;
  exchange[static_cast<int>(Kind::Transducer)] = 16;
  EXPECT_DOUBLE_EQ(cycleFormulaMs(0, exchange), 1000);
  // Controller, alarm instrument, three single-channel instruments: 7 transactions.
  EXPECT_DOUBLE_EQ(cycleFormulaMs(5, exchange), 1000 + 5 * 50 + 7 * 10 + 200 + 20 + 18 + 17 + 3 * 16);
  EXPECT_EQ(modelAt(6), Model::Controller);
  EXPECT_EQ(modelAt(31), Model::Controller);
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
