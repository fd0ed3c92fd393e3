// The gateway as a Sparkplug B edge node: what it publishes (births, data by exception, deaths, each
// payload encoded with the schema in tools/common/sparkplug_b.proto) and what it takes from the broker
// (NCMD, DCMD, a primary host's STATE). No network here: the gateway hands the messages to the broker,
// so that every rule about seq, aliases, births and deaths can be checked without one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/shell/link_statistics.h"
#include "tag_index.h"
#include "tag_store.h"

namespace duz::mqtt {

// The node's own state, from the module's link statistics when it offers them.
struct NodeStatus {
  std::string portName, portState, version;
  std::uint32_t reopened = 0;
  double cyclePeriodMs = 0;
};

struct Outgoing {
  std::string topic, payload;
};

// "open", "lost" or "none".
std::string portStateText(std::uint32_t state);
// "none", "no answer", … as the link statistics' last failure.
std::string failureText(std::uint32_t failure);
// Whether the error counters or the last failure differ (the exchange count and median do not count).
bool sameLinkErrors(const DuzLinkDeviceStatistics& a, const DuzLinkDeviceStatistics& b);
// A FILETIME as milliseconds since 1970 UTC; 0 for an earlier one.
std::uint64_t unixMs(std::uint64_t fileTime);

// A primary host application's STATE: {"online": bool, "timestamp": ms}; nothing when malformed.
struct HostState {
  bool online = false;
  std::uint64_t timestamp = 0;
};
std::optional<HostState> parseHostState(std::string_view payload);

class SparkplugNode {
 public:
  // `index` outlives the node. `group` and `edgeNode` are valid topic levels (no '/', '+' or '#').
  SparkplugNode(const std::string& group, const std::string& edgeNode, const TagIndex& index);

  const std::string& ndeathTopic() const { return ndeathTopic_; }
  const std::string& ncmdTopic() const { return ncmdTopic_; }
  std::string dcmdFilter() const { return base_ + "DCMD/" + edgeNode_ + "/+"; }
  // NDEATH's payload: bdSeq only, and the time it was made (for the will: the time of the connect).
  std::string ndeath(std::uint64_t bdSeq, std::uint64_t nowMs) const;

  // A (re)birth: NBIRTH with seq 0; every device must be born again. `status` null: the module gives
  // no statistics, and the node has only bdSeq and the rebirth control.
  Outgoing nbirth(std::uint64_t bdSeq, const NodeStatus* status, std::uint64_t nowMs);
  // NDATA when the port changed, or the cycle period did and the last NDATA is 10 s old.
  std::optional<Outgoing> ndata(const NodeStatus& status, std::uint64_t nowMs);

  // A tag's latest publication, as the store hands it on.
  void update(const TagValue& v);
  // The instrument confirmed a write of `tag` at `fileTime`: the tag's first publication after that
  // goes out in DDATA even when its value did not change, so that a host application sees the write
  // come back (a momentary command bit reads back false, and a bit written to the value it had is
  // otherwise never sent).
  void writeConfirmed(const TagInfo& tag, std::uint64_t fileTime);
  // The devices' births, deaths and data by exception since the last call, after an NBIRTH only.
  // `online[i]`: the online byte of device i of the index; `links` null when the module gives none.
  void step(const std::vector<bool>& online, const DuzLinkStatistics* links, std::uint64_t nowMs,
            std::vector<Outgoing>& out);
  bool born(std::size_t device) const { return devices_[device].born; }

  // An NCMD's payload: true when it asks for a rebirth; otherwise `why` says what was wrong.
  bool rebirthCommand(std::string_view payload, std::string& why) const;
  struct Write {
    const TagInfo* tag;
    std::uint32_t value;
  };
  // A DCMD for the device whose ID is `deviceId`: the command bits it writes. Every metric that is not
  // a Boolean for a writable metric of that device (by name or alias) is left out, with a line in
  // `refusals`.
  std::vector<Write> deviceCommand(std::string_view deviceId, std::string_view payload,
                                   std::vector<std::string>& refusals) const;

  // The device's ID in topics; the alias of a tag (by its position in index.tags()).
  const std::string& deviceId(std::size_t device) const { return devices_[device].id; }
  std::uint64_t tagAlias(std::size_t tag) const { return firstTagAlias_ + tag; }

 private:
  struct Sent {
    double value = 0;
    std::uint8_t quality = 0;
    bool valid = false;
  };
  struct Tag {
    TagValue current;
    bool fresh = false;  // published since the device came (back) online
    Sent sent;
    std::uint64_t confirmAfter = 0;  // FILETIME of a confirmed write not yet reported; 0: none
  };
  struct Device {
    std::string id;
    bool born = false;
    bool online = false;
    bool observed = false;  // its online byte was looked at
    std::uint64_t onlineSince = 0;
    std::uint64_t linkAlias = 0;  // the first of its Link/ metrics
    bool bornWithLink = false;    // its birth defined them
    DuzLinkDeviceStatistics linkSent{};
    std::uint64_t linkSentAt = 0;
  };

  std::uint64_t nextSeq();
  std::string encodeDevice(std::size_t device, bool birth, const DuzLinkDeviceStatistics* link,
                           std::uint64_t nowMs);

  const TagIndex& index_;
  std::string edgeNode_, base_, ndeathTopic_, ncmdTopic_;
  std::uint64_t firstTagAlias_ = 0;
  std::vector<Tag> tags_;
  std::vector<Device> devices_;
  bool nodeBorn_ = false;
  bool nodeHasStatus_ = false;  // the NBIRTH defined the port, cycle and version metrics
  std::uint64_t seq_ = 0;
  NodeStatus nodeSent_;
  std::uint64_t nodeSentAt_ = 0;
};

}  // namespace duz::mqtt
