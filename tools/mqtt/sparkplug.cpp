#include "sparkplug.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "payload.h"
#include "sparkplug_b.pb.h"

namespace duz::mqtt {

namespace {

using sparkplug::Payload;
using Metric = sparkplug::Payload::Metric;

constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ull;
// How often slowly changing figures (cycle period, exchange counts) are sent when nothing else changed.
constexpr std::uint64_t kFigureIntervalMs = 10'000;
// A device back online is born once every tag has a fresh value, or after this long in any case.
constexpr std::uint64_t kBirthWaitMs = 5'000;
// The most metrics of one command looked at; a longer list is refused beyond them.
constexpr int kMaxCommandMetrics = 64;

// Node metric aliases; tags and link figures come after them.
enum NodeAlias : std::uint64_t {
  kBdSeq = 1,
  kRebirth,
  kPortName,
  kPortState,
  kPortReopened,
  kCyclePeriod,
  kModuleVersion,
  kFirstDeviceAlias = 100
};
const char* const kRebirthName = "Node Control/Rebirth";

enum LinkField {
  kExchanges,
  kNoAnswer,
  kBadCrc,
  kExceptions,
  kWrongAddress,
  kWrongFunction,
  kLastFailure,
  kLastFailureTime,
  kMedian,
  kLinkFields
};
const char* const kLinkNames[kLinkFields] = {
    "Link/Exchanges",    "Link/No Answer",         "Link/Bad CRC",
    "Link/Exceptions",   "Link/Wrong Address",     "Link/Wrong Function",
    "Link/Last Failure", "Link/Last Failure Time", "Link/Median Exchange"};

Metric* addMetric(Payload& p, const char* name, std::uint64_t alias, sparkplug::DataType type,
                  std::uint64_t timestamp) {
  Metric* m = p.add_metrics();
  if (name) m->set_name(name);
  m->set_alias(alias);
  m->set_datatype(type);
  m->set_timestamp(timestamp);
  return m;
}

void addProperty(Metric& m, const char* key, sparkplug::DataType type, std::uint32_t intValue,
                 bool boolValue) {
  auto* set = m.mutable_properties();
  set->add_keys(key);
  auto* v = set->add_values();
  v->set_type(type);
  if (type == sparkplug::Boolean)
    v->set_boolean_value(boolValue);
  else
    v->set_int_value(intValue);
}

// The value as the module published it: analog values as floats (23.4, not 23.399999618530273).
double publishedValue(TagKind kind, double value) {
  return kind == TagKind::Analog ? static_cast<double>(static_cast<float>(value)) : value;
}

void setTagValue(Metric& m, TagKind kind, double value) {
  switch (kind) {
    case TagKind::Analog: {
      const auto f = static_cast<float>(value);
      if (std::isnan(f)) {
        m.set_is_null(true);
        break;
      }
      // The float's shortest text read back as a double: the number a reader of the JSON topic sees.
      m.set_double_value(std::strtod(floatText(f).c_str(), nullptr));
      break;
    }
    case TagKind::Bit:
      m.set_boolean_value(value != 0);
      break;
    case TagKind::Integer: {
      const double clamped = std::isfinite(value) ? std::clamp(value, -2147483648.0, 2147483647.0) : 0.0;
      // Int32 travels in the unsigned field as its two's complement.
      m.set_int_value(static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped)));
      break;
    }
  }
}

sparkplug::DataType tagType(TagKind kind) {
  switch (kind) {
    case TagKind::Bit:
      return sparkplug::Boolean;
    case TagKind::Integer:
      return sparkplug::Int32;
    case TagKind::Analog:
      break;
  }
  return sparkplug::Double;
}

void addLinkMetric(Payload& p, int field, bool birth, std::uint64_t alias, const DuzLinkDeviceStatistics& s,
                   std::uint64_t nowMs) {
  const char* name = birth ? kLinkNames[field] : nullptr;
  const std::uint64_t counts[] = {s.exchanges,  s.noAnswer,     s.badCrc,
                                  s.exceptions, s.wrongAddress, s.wrongFunction};
  if (field <= kWrongFunction) {
    addMetric(p, name, alias, sparkplug::UInt64, nowMs)->set_long_value(counts[field]);
  } else if (field == kLastFailure) {
    addMetric(p, name, alias, sparkplug::String, nowMs)->set_string_value(failureText(s.lastFailure));
  } else if (field == kLastFailureTime) {
    Metric* m = addMetric(p, name, alias, sparkplug::DateTime, nowMs);
    if (s.lastFailureTime)
      m->set_long_value(unixMs(s.lastFailureTime));
    else
      m->set_is_null(true);
  } else {
    addMetric(p, name, alias, sparkplug::Double, nowMs)->set_double_value(s.medianExchangeUs / 1000.0);
  }
}

std::string encode(const Payload& p) {
  std::string bytes;
  p.SerializeToString(&bytes);
  return bytes;
}

bool parse(Payload& p, std::string_view bytes) {
  return bytes.size() <= static_cast<std::size_t>(INT32_MAX) &&
         p.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
}

std::string shown(std::string_view text) {
  std::string s(text.substr(0, 60));
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return s;
}

}  // namespace

bool sameLinkErrors(const DuzLinkDeviceStatistics& a, const DuzLinkDeviceStatistics& b) {
  return a.noAnswer == b.noAnswer && a.badCrc == b.badCrc && a.exceptions == b.exceptions &&
         a.wrongAddress == b.wrongAddress && a.wrongFunction == b.wrongFunction &&
         a.lastFailure == b.lastFailure && a.lastFailureTime == b.lastFailureTime;
}

std::string portStateText(std::uint32_t state) {
  switch (state) {
    case DuzPortOpen:
      return "open";
    case DuzPortLost:
      return "lost";
  }
  return "none";
}

std::string failureText(std::uint32_t failure) {
  switch (failure) {
    case DuzLinkFailureNoAnswer:
      return "no answer";
    case DuzLinkFailureBadCrc:
      return "bad crc";
    case DuzLinkFailureException:
      return "exception";
    case DuzLinkFailureWrongAddress:
      return "wrong address";
    case DuzLinkFailureWrongFunction:
      return "wrong function";
    case DuzLinkFailureWriteFailed:
      return "write failed";
  }
  return "none";
}

std::uint64_t unixMs(std::uint64_t fileTime) {
  return fileTime > kUnixEpochFileTime ? (fileTime - kUnixEpochFileTime) / 10'000 : 0;
}

std::optional<HostState> parseHostState(std::string_view payload) {
  const auto j = nlohmann::json::parse(payload, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  const auto online = j.find("online");
  if (online == j.end() || !online->is_boolean()) return std::nullopt;
  HostState s{online->get<bool>(), 0};
  if (const auto t = j.find("timestamp"); t != j.end()) {
    if (!t->is_number_unsigned()) return std::nullopt;
    s.timestamp = t->get<std::uint64_t>();
  }
  return s;
}

SparkplugNode::SparkplugNode(const std::string& group, const std::string& edgeNode, const TagIndex& index)
    : index_(index),
      edgeNode_(edgeNode),
      base_("spBv1.0/" + group + "/"),
      ndeathTopic_(base_ + "NDEATH/" + edgeNode),
      ncmdTopic_(base_ + "NCMD/" + edgeNode),
      firstTagAlias_(kFirstDeviceAlias),
      tags_(index.tagCount()) {
  std::uint64_t linkAlias = firstTagAlias_ + index.tagCount();
  for (const DeviceInfo& d : index.devices()) {
    Device device;
    device.id = topicLevel(d.name);
    device.linkAlias = linkAlias;
    linkAlias += kLinkFields;
    devices_.push_back(std::move(device));
  }
}

std::uint64_t SparkplugNode::nextSeq() {
  seq_ = (seq_ + 1) % 256;
  return seq_;
}

std::string SparkplugNode::ndeath(std::uint64_t bdSeq, std::uint64_t nowMs) const {
  Payload p;
  p.set_timestamp(nowMs);
  addMetric(p, "bdSeq", kBdSeq, sparkplug::Int64, nowMs)->set_long_value(bdSeq);
  return encode(p);
}

Outgoing SparkplugNode::nbirth(std::uint64_t bdSeq, const NodeStatus* status, std::uint64_t nowMs) {
  nodeBorn_ = true;
  seq_ = 0;
  for (Device& d : devices_) d.born = false;
  Payload p;
  p.set_timestamp(nowMs);
  p.set_seq(0);
  addMetric(p, "bdSeq", kBdSeq, sparkplug::Int64, nowMs)->set_long_value(bdSeq);
  addMetric(p, kRebirthName, kRebirth, sparkplug::Boolean, nowMs)->set_boolean_value(false);
  if (status) {
    addMetric(p, "Port/Name", kPortName, sparkplug::String, nowMs)->set_string_value(status->portName);
    addMetric(p, "Port/State", kPortState, sparkplug::String, nowMs)->set_string_value(status->portState);
    addMetric(p, "Port/Reopened", kPortReopened, sparkplug::UInt32, nowMs)->set_int_value(status->reopened);
    addMetric(p, "Cycle/Period", kCyclePeriod, sparkplug::Double, nowMs)
        ->set_double_value(status->cyclePeriodMs);
    addMetric(p, "Module/Version", kModuleVersion, sparkplug::String, nowMs)
        ->set_string_value(status->version);
    nodeSent_ = *status;
  }
  nodeHasStatus_ = status != nullptr;
  nodeSentAt_ = nowMs;
  return {base_ + "NBIRTH/" + edgeNode_, encode(p)};
}

std::optional<Outgoing> SparkplugNode::ndata(const NodeStatus& status, std::uint64_t nowMs) {
  // Metrics the birth did not define have no alias a host knows.
  if (!nodeBorn_ || !nodeHasStatus_) return std::nullopt;
  Payload p;
  if (status.portName != nodeSent_.portName)
    addMetric(p, nullptr, kPortName, sparkplug::String, nowMs)->set_string_value(status.portName);
  if (status.portState != nodeSent_.portState)
    addMetric(p, nullptr, kPortState, sparkplug::String, nowMs)->set_string_value(status.portState);
  if (status.reopened != nodeSent_.reopened)
    addMetric(p, nullptr, kPortReopened, sparkplug::UInt32, nowMs)->set_int_value(status.reopened);
  if (status.version != nodeSent_.version)
    addMetric(p, nullptr, kModuleVersion, sparkplug::String, nowMs)->set_string_value(status.version);
  const bool figuresDue = nowMs - nodeSentAt_ >= kFigureIntervalMs || nowMs < nodeSentAt_;
  if (status.cyclePeriodMs != nodeSent_.cyclePeriodMs && (figuresDue || p.metrics_size()))
    addMetric(p, nullptr, kCyclePeriod, sparkplug::Double, nowMs)->set_double_value(status.cyclePeriodMs);
  if (!p.metrics_size()) return std::nullopt;
  nodeSent_ = status;
  nodeSentAt_ = nowMs;
  p.set_timestamp(nowMs);
  p.set_seq(nextSeq());
  return Outgoing{base_ + "NDATA/" + edgeNode_, encode(p)};
}

void SparkplugNode::update(const TagValue& v) {
  const TagInfo* info = index_.byHandle(v.handle);
  if (!info) return;
  Tag& t = tags_[static_cast<std::size_t>(info - index_.tags().data())];
  t.current = v;
  t.fresh = true;
}

void SparkplugNode::writeConfirmed(const TagInfo& tag, std::uint64_t fileTime) {
  tags_[static_cast<std::size_t>(&tag - index_.tags().data())].confirmAfter = fileTime;
}

std::string SparkplugNode::encodeDevice(std::size_t device, bool birth, const DuzLinkDeviceStatistics* link,
                                        std::uint64_t nowMs) {
  const DeviceInfo& info = index_.devices()[device];
  Payload p;
  for (std::size_t i = info.firstTag; i < info.tagEnd; ++i) {
    Tag& t = tags_[i];
    const TagInfo& tag = index_.tags()[i];
    const double value = publishedValue(tag.kind, t.current.value);
    const auto quality = static_cast<std::uint8_t>(t.current.quality & 0xFF);
    const bool changed = !t.sent.valid || t.sent.quality != quality ||
                         (t.sent.value != value && !(std::isnan(value) && std::isnan(t.sent.value)));
    // Read back from the instrument after the write: the publication is newer than the confirmation.
    const bool confirming = t.confirmAfter && t.current.handle && t.current.timestamp > t.confirmAfter;
    if (confirming) t.confirmAfter = 0;
    if (!birth && !changed && !confirming) continue;
    Metric* m = addMetric(p, birth ? tag.name.c_str() : nullptr, tagAlias(i), tagType(tag.kind),
                          unixMs(t.current.timestamp));
    if (!t.current.handle) {
      m->set_is_null(true);  // not published yet
    } else {
      setTagValue(*m, tag.kind, t.current.value);
      t.sent = {value, quality, true};
    }
    addProperty(*m, "Quality", sparkplug::Int32, quality, false);
    if (birth && tag.command) addProperty(*m, "Writable", sparkplug::Boolean, 0, true);
  }
  if (link) {
    Device& d = devices_[device];
    for (int f = 0; f < kLinkFields; ++f) addLinkMetric(p, f, birth, d.linkAlias + f, *link, nowMs);
    d.linkSent = *link;
    d.linkSentAt = nowMs;
  }
  if (birth) devices_[device].bornWithLink = link != nullptr;
  if (!birth && !p.metrics_size()) return {};
  p.set_timestamp(nowMs);
  p.set_seq(nextSeq());
  return encode(p);
}

void SparkplugNode::step(const std::vector<bool>& online, const DuzLinkStatistics* links, std::uint64_t nowMs,
                         std::vector<Outgoing>& out) {
  const auto& infos = index_.devices();
  for (std::size_t i = 0; i < devices_.size() && i < online.size(); ++i) {
    Device& d = devices_[i];
    const bool on = online[i];
    if (on != d.online || !d.observed) {
      // Values published before a change may be those of the old state: wait for new ones.
      if (d.observed)
        for (std::size_t t = infos[i].firstTag; t < infos[i].tagEnd; ++t) tags_[t].fresh = false;
      d.observed = true;
      d.online = on;
      d.onlineSince = nowMs;
    }
    if (!nodeBorn_) continue;
    const std::string suffix = edgeNode_ + "/" + d.id;
    if (!on) {
      if (d.born) {
        Payload p;
        p.set_timestamp(nowMs);
        p.set_seq(nextSeq());
        out.push_back({base_ + "DDEATH/" + suffix, encode(p)});
        d.born = false;
      }
      continue;
    }
    const int slot = infos[i].slot;
    const DuzLinkDeviceStatistics* link = links ? &links->devices[slot] : nullptr;
    if (!d.born) {
      bool all = true;
      for (std::size_t t = infos[i].firstTag; t < infos[i].tagEnd; ++t) all = all && tags_[t].fresh;
      const bool waited = nowMs - d.onlineSince >= kBirthWaitMs || nowMs < d.onlineSince;
      if (!all && !waited) continue;
      out.push_back({base_ + "DBIRTH/" + suffix, encodeDevice(i, true, link, nowMs)});
      d.born = true;
      continue;
    }
    const bool linkDue = link && d.bornWithLink &&
                         (!sameLinkErrors(*link, d.linkSent) ||
                          ((nowMs - d.linkSentAt >= kFigureIntervalMs || nowMs < d.linkSentAt) &&
                           std::memcmp(link, &d.linkSent, sizeof *link) != 0));
    std::string payload = encodeDevice(i, false, linkDue ? link : nullptr, nowMs);
    if (!payload.empty()) out.push_back({base_ + "DDATA/" + suffix, std::move(payload)});
  }
}

bool SparkplugNode::rebirthCommand(std::string_view payload, std::string& why) const {
  Payload p;
  if (!parse(p, payload)) {
    why = "not a Sparkplug B payload";
    return false;
  }
  for (int i = 0; i < p.metrics_size() && i < kMaxCommandMetrics; ++i) {
    const Metric& m = p.metrics(i);
    const bool named = m.has_name() ? m.name() == kRebirthName : m.has_alias() && m.alias() == kRebirth;
    if (!named) continue;
    if (m.value_case() == Metric::kBooleanValue && m.boolean_value()) return true;
    why = "Node Control/Rebirth is not the Boolean true";
    return false;
  }
  why = "no Node Control/Rebirth metric";
  return false;
}

std::vector<SparkplugNode::Write> SparkplugNode::deviceCommand(std::string_view deviceId,
                                                               std::string_view payload,
                                                               std::vector<std::string>& refusals) const {
  std::vector<Write> writes;
  std::size_t device = devices_.size();
  for (std::size_t i = 0; i < devices_.size(); ++i)
    if (devices_[i].id == deviceId) device = i;
  if (device == devices_.size()) {
    refusals.push_back("no device '" + shown(deviceId) + "'");
    return writes;
  }
  Payload p;
  if (!parse(p, payload)) {
    refusals.push_back("not a Sparkplug B payload");
    return writes;
  }
  const DeviceInfo& info = index_.devices()[device];
  const int count = std::min(p.metrics_size(), kMaxCommandMetrics);
  if (p.metrics_size() > count)
    refusals.push_back(std::to_string(p.metrics_size() - count) + " metrics beyond the first " +
                       std::to_string(count));
  for (int i = 0; i < count; ++i) {
    const Metric& m = p.metrics(i);
    std::size_t tag = info.tagEnd;
    std::string what;
    if (m.has_name()) {
      what = "'" + shown(m.name()) + "'";
      for (std::size_t t = info.firstTag; t < info.tagEnd; ++t)
        if (index_.tags()[t].name == m.name()) tag = t;
    } else if (m.has_alias()) {
      what = "alias " + std::to_string(m.alias());
      if (m.alias() >= tagAlias(info.firstTag) && m.alias() < tagAlias(info.tagEnd))
        tag = static_cast<std::size_t>(m.alias() - firstTagAlias_);
    } else {
      what = "a metric without name or alias";
    }
    if (tag == info.tagEnd) {
      refusals.push_back(what + ": no such metric");
    } else if (!index_.tags()[tag].command) {
      refusals.push_back(what + ": not writable");
    } else if ((m.has_datatype() && m.datatype() != sparkplug::Boolean) ||
               m.value_case() != Metric::kBooleanValue || (m.has_is_null() && m.is_null())) {
      refusals.push_back(what + ": the value must be a Boolean");
    } else {
      writes.push_back({&index_.tags()[tag], m.boolean_value() ? 1u : 0u});
    }
  }
  return writes;
}

}  // namespace duz::mqtt
