#include "sim_answer.h"

#include "link/frames.h"

namespace duz::sim {

namespace {

// Modbus exception codes.
constexpr std::uint8_t kIllegalFunction = 1;
constexpr std::uint8_t kIllegalAddress = 2;
constexpr std::uint8_t kIllegalValue = 3;
constexpr std::uint8_t kDeviceFailure = 4;

Bytes exception(const Bytes& request, std::uint8_t code) {
  return exceptionReply(request[0], request[1], code);
}

Bytes withData(const Bytes& request, const Bytes& data) {
  return dataReply(request[0], request[1], data);
}

bool coilExists(unsigned coil) {
  return coil <= 15 || coil == 240;
}
bool coilState(const Device& d, unsigned coil) {
  return coil == 240 ? d.coil240 : ((d.coils >> coil) & 1) != 0;
}

// Standard bit packing: the first bit in bit 0 of the first data byte.
Bytes packBits(unsigned start, unsigned count, bool (*state)(const Device&, unsigned), const Device& d) {
  Bytes data((count + 7) / 8, 0);
  for (unsigned i = 0; i < count; ++i)
    if (state(d, start + i)) data[i / 8] = static_cast<std::uint8_t>(data[i / 8] | (1u << (i % 8)));
  return data;
}

bool inputState(const Device& d, unsigned input) {
  return ((d.inputs >> input) & 1) != 0;
}

// The reply of a device working normally; `changed` is set when the request altered its state.
Bytes normalReply(Device& d, const Bytes& request) {
  // The functions this instrument family knows, each with its one length.
  const std::uint8_t function = request[1];
  const int length = requestLength(function);
  if (length == 0) return exception(request, kIllegalFunction);
  const std::optional<Request> asked = parseRequest(request.data(), static_cast<int>(request.size()));
  if (!asked) return exception(request, kIllegalValue);
  const bool measuring =
      d.model == Model::Thermocouple || d.model == Model::Rtd || d.model == Model::CurrentLoop;

  switch (function) {
    case kReportSlaveId:
      if (d.model == Model::Controller) return withData(request, Bytes(d.modules.begin(), d.modules.end()));
      return withData(request, Bytes(d.ident.begin(), d.ident.end()));

    case kReadParameters: {
      if (!measuring) return exception(request, kIllegalFunction);
      // Data bytes 5 to 11 (counting from 1) carry what discovery keeps; the first four are unused.
      const Bytes data{0,
                       0,
                       0,
                       0,
                       d.alarmType,
                       static_cast<std::uint8_t>(d.setpoint2 & 0xFF),
                       static_cast<std::uint8_t>(d.setpoint2 >> 8),
                       static_cast<std::uint8_t>(d.setpoint1 & 0xFF),
                       static_cast<std::uint8_t>(d.setpoint1 >> 8),
                       d.sensor,
                       d.range};
      return withData(request, data);
    }

    case kReadMeasurements: {
      const unsigned first = asked->first;
      const unsigned count = asked->count;
      if (measuring) {
        if (first != 0 || count != 1) return exception(request, kIllegalAddress);
        const auto raw = static_cast<std::uint16_t>(d.raw);
        return withData(
            request, {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw & 0xFF), d.status});
      }
      if (d.model != Model::Controller) return exception(request, kIllegalFunction);
      // Whole modules only, at most four a reply (216 data bytes), within the eight slots.
      if (first % 6 || count % 6 || count == 0 || count > 24 || (first + count) > 48)
        return exception(request, kIllegalAddress);
      Bytes data;
      for (unsigned slot = first / 6; slot < (first + count) / 6; ++slot) {
        for (const auto& text : d.texts[slot]) data.insert(data.end(), text.begin(), text.end());
        data.insert(data.end(), d.statuses[slot].begin(), d.statuses[slot].end());
      }
      return withData(request, data);
    }

    case kReadCoils:
    case kReadDiscreteInputs: {
      if (d.model != Model::Alarm) return exception(request, kIllegalFunction);
      const unsigned start = asked->first;
      const unsigned count = asked->count;
      if (count == 0 || count > 2000) return exception(request, kIllegalValue);
      if (function == kReadDiscreteInputs) {
        if (start + count > 32) return exception(request, kIllegalAddress);
        return withData(request, packBits(start, count, inputState, d));
      }
      for (unsigned c = start; c < start + count; ++c)
        if (!coilExists(c)) return exception(request, kIllegalAddress);
      return withData(request, packBits(start, count, coilState, d));
    }

    case kWriteCoil: {
      if (d.model != Model::Alarm) return exception(request, kIllegalFunction);
      const unsigned coil = asked->first;
      const unsigned value = asked->count;
      if (value != 0xFF00 && value != 0x0000) return exception(request, kIllegalValue);
      if (!coilExists(coil)) return exception(request, kIllegalAddress);
      const bool on = value == 0xFF00;
      if (coil == 240) {
        d.coil240 = on;
      } else {
        d.coils = static_cast<std::uint16_t>(on ? d.coils | (1u << coil) : d.coils & ~(1u << coil));
      }
      return request;  // the echo
    }
  }
  return exception(request, kIllegalFunction);
}

}  // namespace

Answer answer(Bus& bus, const Bytes& request) {
  Answer a;
  if (request.size() < 4) {
    a.note = "too short, ignored";
    return a;
  }
  if (!crcMatches(request.data(), static_cast<int>(request.size()))) {
    a.note = "bad CRC, ignored";
    return a;
  }
  const auto found = bus.find(request[0]);
  if (found == bus.end()) {
    a.note = "no device at this address";
    return a;
  }
  Device& d = found->second;
  switch (d.fault) {
    case Fault::Silent:
      a.note = "silent";
      return a;
    case Fault::Exception:
      a.note = "exception reply";
      a.reply = exception(request, kDeviceFailure);
      return a;
    default:
      break;
  }

  a.reply = normalReply(d, request);
  switch (d.fault) {
    case Fault::BadCrc:
      a.reply.back() ^= 0xFF;
      a.note = "bad CRC";
      break;
    case Fault::WrongAddress:
      a.reply[0] = static_cast<std::uint8_t>(a.reply[0] % 247 + 1);
      putCrc(a.reply.data(), static_cast<int>(a.reply.size()));
      a.note = "wrong address";
      break;
    case Fault::Short:
      a.reply.resize(a.reply.size() - 3 < 3 ? 3 : a.reply.size() - 3);
      a.note = "short";
      break;
    case Fault::Slow:
      a.delayMs = d.slowMs;
      a.note = "slow, " + std::to_string(d.slowMs) + " ms";
      break;
    default:
      break;
  }
  return a;
}

}  // namespace duz::sim
