// The frames on the wire: every request the module sends, byte for byte, and the device side's reading
// of them, against CRCs worked out independently.
#include <gtest/gtest.h>

#include <vector>

#include "link/frames.h"

namespace duz {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Frames, EveryRequestHasItsExactWireBytes) {
  EXPECT_EQ(reportSlaveIdRequest(3).toVector(), (Bytes{0x03, 0x11, 0xC1, 0x4C}));
  EXPECT_EQ(readParametersRequest(3).toVector(), (Bytes{0x03, 0x44, 0x01, 0x73}));
  EXPECT_EQ(measurementReadRequest(3, 0, 1).toVector(), (Bytes{0x03, 0x47, 0x00, 0x01, 0x71, 0xB5}));
  EXPECT_EQ(measurementReadRequest(1, 0, 24).toVector(), (Bytes{0x01, 0x47, 0x00, 0x18, 0xB1, 0xC7}));
  EXPECT_EQ(bitReadRequest(2, kReadDiscreteInputs, 0, 32).toVector(),
            (Bytes{0x02, 0x02, 0x00, 0x00, 0x00, 0x20, 0x79, 0xE1}));
  EXPECT_EQ(bitReadRequest(2, kReadCoils, 240, 1).toVector(),
            (Bytes{0x02, 0x01, 0x00, 0xF0, 0x00, 0x01, 0xFD, 0xCA}));
  EXPECT_EQ(writeCoilRequest(2, 240, true).toVector(),
            (Bytes{0x02, 0x05, 0x00, 0xF0, 0xFF, 0x00, 0x8C, 0x3A}));
  EXPECT_EQ(writeCoilRequest(2, 1, false).toVector(),
            (Bytes{0x02, 0x05, 0x00, 0x01, 0x00, 0x00, 0x9C, 0x39}));
}

TEST(Frames, TheDeviceSideReadsWhatTheModuleBuildsAndNothingElse) {
  const RequestFrame block = measurementReadRequest(7, 12, 18);
  const auto read = parseRequest(block.data(), block.length);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->address, 7);
  EXPECT_EQ(read->function, kReadMeasurements);
  EXPECT_EQ(read->first, 12u);
  EXPECT_EQ(read->count, 18u);

  const RequestFrame write = writeCoilRequest(9, 240, true);
  const auto coil = parseRequest(write.data(), write.length);
  ASSERT_TRUE(coil);
  EXPECT_EQ(coil->first, 240u);
  EXPECT_EQ(coil->count, 0xFF00u);
  EXPECT_TRUE(crcMatches(write.data(), write.length));

  // A known function at the wrong length, an unknown function, a lone byte: not requests.
  EXPECT_FALSE(parseRequest(write.data(), write.length - 1));
  const Bytes unknown{1, 3, 0, 0, 0, 1, 0x84, 0x0A};
  EXPECT_FALSE(parseRequest(unknown.data(), static_cast<int>(unknown.size())));
  EXPECT_FALSE(parseRequest(unknown.data(), 1));
}

TEST(Frames, RepliesAnnounceTheirLengthExceptTheEchoOfAWrite) {
  const Bytes reply = dataReply(3, kReadMeasurements, {0x0F, 0xA0, 0x00});
  ASSERT_EQ(reply.size(), 8u);
  EXPECT_TRUE(crcMatches(reply.data(), static_cast<int>(reply.size())));
  EXPECT_EQ(replyLength(kReadMeasurements, 6, reply.data()), 8);

  Bytes damaged = reply;
  damaged[4] ^= 0x01;
  EXPECT_FALSE(crcMatches(damaged.data(), static_cast<int>(damaged.size())));

  // The echo of a write is as long as the write, whatever its third byte says.
  const RequestFrame write = writeCoilRequest(2, 240, true);
  EXPECT_EQ(replyLength(kWriteCoil, write.length, write.data()), 8);

  const Bytes exception = exceptionReply(2, kReadCoils, 2);
  EXPECT_EQ(exception.size(), 5u);
  EXPECT_EQ(exception[1], 0x81);
  EXPECT_TRUE(crcMatches(exception.data(), 5));
}

}  // namespace
}  // namespace duz
