#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace duz::test
