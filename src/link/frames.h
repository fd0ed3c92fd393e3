// The Modbus-RTU frames this module knows, built and read in one place: the requests of the search
// (functions 17 and 68), of polling (71, 1, 2) and of the host's writes (5), the replies a device
// gives to them, and the CRC that closes every frame. Everything that puts a frame on the line or
// reads one off it (the module, the bus simulator, the benchmark, the fuzz harness) goes through here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace duz {

// CRC-16/MODBUS of the first `count` bytes (also the configuration file's checksum).
std::uint16_t Crc16(int count, const std::uint8_t* data);

// Stores the CRC of bytes 0..length-3 into the last two bytes, low byte first.
void putCrc(std::uint8_t* frame, int length);

// True when the last two of `length` bytes are the CRC of the others.
bool crcMatches(const std::uint8_t* frame, int length);

// Function codes.
constexpr std::uint8_t kReadCoils = 1;
constexpr std::uint8_t kReadDiscreteInputs = 2;
constexpr std::uint8_t kWriteCoil = 5;
constexpr std::uint8_t kReportSlaveId = 0x11;     // 17: identification
constexpr std::uint8_t kReadParameters = 0x44;    // 68: a transducer's settings
constexpr std::uint8_t kReadMeasurements = 0x47;  // 71: channel values

// A request, CRC included.
struct RequestFrame {
  std::array<std::uint8_t, 8> bytes{};
  int length = 0;

  const std::uint8_t* data() const { return bytes.data(); }
  std::vector<std::uint8_t> toVector() const { return {bytes.begin(), bytes.begin() + length}; }
};

// Function 17 (identification) or 68 (parameters): address and function alone, 4 bytes.
RequestFrame reportSlaveIdRequest(std::uint8_t address);
RequestFrame readParametersRequest(std::uint8_t address);
// Function 71: `count` channels from `first`, one byte each, 6 bytes.
RequestFrame measurementReadRequest(std::uint8_t address, std::uint8_t first, std::uint8_t count);
// Function 1 (coils) or 2 (discrete inputs): start and quantity as big-endian words, 8 bytes.
RequestFrame bitReadRequest(std::uint8_t address, std::uint8_t function, std::uint16_t start,
                            std::uint16_t quantity);
// Function 5: one coil on (FF 00) or off (00 00), 8 bytes. The device answers with the same frame.
RequestFrame writeCoilRequest(std::uint8_t address, std::uint16_t coil, bool on);

// How long a request of `function` is, CRC included; 0 for a function not known here.
int requestLength(std::uint8_t function);

// A request as a device reads it. `first` and `count` are the channel bytes of function 71, the start
// and quantity words of functions 1 and 2, the coil and value words of function 5, 0 otherwise.
struct Request {
  std::uint8_t address = 0;
  std::uint8_t function = 0;
  unsigned first = 0;
  unsigned count = 0;
};
// Reads a request of a known function and its length, CRC not checked; empty otherwise.
std::optional<Request> parseRequest(const std::uint8_t* frame, int length);

// Functions whose reply is an echo of the request rather than a frame announcing its data length.
bool repliesWithEcho(std::uint8_t function);
// The whole length of the reply whose 3-byte header is `header`, to a request of `requestLength`
// bytes whose function is `function`: the request's own length for an echo, the data count and five
// frame bytes otherwise.
int replyLength(std::uint8_t function, int requestLength, const std::uint8_t* header);

// A device's reply carrying `data` (address, function, byte count, data, CRC).
std::vector<std::uint8_t> dataReply(std::uint8_t address, std::uint8_t function,
                                    const std::vector<std::uint8_t>& data);
// A device's exception reply: the function with its top bit set, and the code.
std::vector<std::uint8_t> exceptionReply(std::uint8_t address, std::uint8_t function, std::uint8_t code);

}  // namespace duz
