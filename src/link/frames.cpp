#include "link/frames.h"

namespace duz {

namespace {

std::uint8_t high(unsigned word) {
  return static_cast<std::uint8_t>((word >> 8) & 0xFF);
}
std::uint8_t low(unsigned word) {
  return static_cast<std::uint8_t>(word & 0xFF);
}

RequestFrame sealedRequest(std::initializer_list<std::uint8_t> body) {
  RequestFrame f;
  for (std::uint8_t b : body) f.bytes[static_cast<std::size_t>(f.length++)] = b;
  f.length += 2;
  putCrc(f.bytes.data(), f.length);
  return f;
}

std::vector<std::uint8_t> sealedReply(std::vector<std::uint8_t> frame) {
  frame.resize(frame.size() + 2);
  putCrc(frame.data(), static_cast<int>(frame.size()));
  return frame;
}

unsigned word(const std::uint8_t* frame, int at) {
  return frame[at] * 256u + frame[at + 1];
}

}  // namespace

std::uint16_t Crc16(int count, const std::uint8_t* data) {
  std::uint16_t crc = 0xFFFF;
  for (int i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

void putCrc(std::uint8_t* frame, int length) {
  const std::uint16_t crc = Crc16(length - 2, frame);
  frame[length - 2] = low(crc);
  frame[length - 1] = high(crc);
}

bool crcMatches(const std::uint8_t* frame, int length) {
  if (length < 2) return false;
  const std::uint16_t crc = Crc16(length - 2, frame);
  return frame[length - 2] == low(crc) && frame[length - 1] == high(crc);
}

RequestFrame reportSlaveIdRequest(std::uint8_t address) {
  return sealedRequest({address, kReportSlaveId});
}

RequestFrame readParametersRequest(std::uint8_t address) {
  return sealedRequest({address, kReadParameters});
}

RequestFrame measurementReadRequest(std::uint8_t address, std::uint8_t first, std::uint8_t count) {
  return sealedRequest({address, kReadMeasurements, first, count});
}

RequestFrame bitReadRequest(std::uint8_t address, std::uint8_t function, std::uint16_t start,
                            std::uint16_t quantity) {
  return sealedRequest({address, function, high(start), low(start), high(quantity), low(quantity)});
}

RequestFrame writeCoilRequest(std::uint8_t address, std::uint16_t coil, bool on) {
  return sealedRequest(
      {address, kWriteCoil, high(coil), low(coil), static_cast<std::uint8_t>(on ? 0xFF : 0x00), 0x00});
}

int requestLength(std::uint8_t function) {
  switch (function) {
    case kReportSlaveId:
    case kReadParameters:
      return 4;
    case kReadMeasurements:
      return 6;
    case kReadCoils:
    case kReadDiscreteInputs:
    case kWriteCoil:
      return 8;
    default:
      return 0;
  }
}

std::optional<Request> parseRequest(const std::uint8_t* frame, int length) {
  if (length < 2 || length != requestLength(frame[1])) return std::nullopt;
  Request r{frame[0], frame[1], 0, 0};
  if (r.function == kReadMeasurements) {
    r.first = frame[2];
    r.count = frame[3];
  } else if (length == 8) {
    r.first = word(frame, 2);
    r.count = word(frame, 4);
  }
  return r;
}

bool repliesWithEcho(std::uint8_t function) {
  // 14 is a write the module never makes, but a device answers it the same way.
  return function == kWriteCoil || function == 14;
}

int replyLength(std::uint8_t function, int requestLength, const std::uint8_t* header) {
  return repliesWithEcho(function) ? requestLength : header[2] + 5;
}

std::vector<std::uint8_t> dataReply(std::uint8_t address, std::uint8_t function,
                                    const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> frame{address, function, static_cast<std::uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  return sealedReply(std::move(frame));
}

std::vector<std::uint8_t> exceptionReply(std::uint8_t address, std::uint8_t function, std::uint8_t code) {
  return sealedReply({address, static_cast<std::uint8_t>(function | 0x80), code});
}

}  // namespace duz
