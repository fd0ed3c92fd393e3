// The gateway's work after the load: one network thread that keeps a session with the broker and
// publishes what the tag store, the devices' online bytes and the link statistics hold (as JSON, as
// Sparkplug B, or both), and one command thread that carries out /set and DCMD commands through the
// module's SetBitTagValue, so that a slow write never holds up publishing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/shell/link_statistics.h"
#include "options.h"
#include "sparkplug.h"
#include "tag_index.h"
#include "tag_store.h"

struct mosquitto;
struct mosquitto_message;

namespace duz::mqtt {

using SetBitFn = std::uint32_t (*)(std::uint32_t identifier, std::uint32_t value);

// Delays between connection attempts: 1 s, doubled after each failure, at most 30 s.
class Backoff {
 public:
  std::chrono::seconds next() {
    const auto d = delay_;
    delay_ = std::min(delay_ * 2, std::chrono::seconds(30));
    return d;
  }
  void reset() { delay_ = std::chrono::seconds(1); }

 private:
  std::chrono::seconds delay_{1};
};

// An eventfd that wakes the network thread; signalled from any thread without waiting.
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  void signal();
  void clear();
  int fd() const { return fd_; }

 private:
  int fd_;
};

class Gateway {
 public:
  // `store` is filled by the module's publications; `index` and `setBit` stay valid until stop().
  // `statistics` null: an older module without link statistics.
  Gateway(const Options& options, std::string password, const TagIndex& index, TagStore& store, Wakeup& wake,
          SetBitFn setBit, DuzevodLinkStatisticsFn statistics);
  ~Gateway();

  void start();
  // Finishes the command in progress, publishes "offline", leaves the broker and ends both threads.
  void stop();

 private:
  struct Session;
  struct Command {
    const TagInfo* tag;
    std::uint32_t value;
    bool answer;  // a /set command, answered on /result
  };

  void networkLoop();
  bool openSession();
  void closeSession(std::string why);  // a copy: `why` may live in the session
  void serviceSession(int timeoutMs);
  void onConnected();
  void publishPending();
  bool publish(const std::string& topic, const std::string& payload, bool retain, int qos = -1,
               int* mid = nullptr);
  void readStatistics();
  void publishLinks();
  void publishSparkplug();
  void leaveForHost();
  void handleMessage(const mosquitto_message& message);
  void handleSparkplug(const std::string& topic, const std::string& payload, bool retained);
  void refuse(const std::string& what);
  void answer(const std::string& topic, std::optional<std::uint32_t> value, const std::string& result,
              const std::string& reason);
  void sayGoodbye();
  void farewell();  // the death or offline status, then DISCONNECT
  void commandLoop();

  static void onConnect(mosquitto*, void* self, int rc);
  static void onDisconnect(mosquitto*, void* self, int rc);
  static void onPublish(mosquitto*, void* self, int mid);
  static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void onLog(mosquitto*, void* self, int level, const char* text);

  const Options options_;
  const std::string password_;
  const TagIndex& index_;
  TagStore& store_;
  Wakeup& wake_;
  SetBitFn setBit_;
  const std::string statusTopic_;
  const bool json_;  // the JSON topics are published
  DuzevodLinkStatisticsFn statisticsFn_;
  std::unique_ptr<SparkplugNode> sparkplug_;
  std::string stateTopic_;  // the primary host's STATE, or empty

  // Network thread only.
  std::unique_ptr<Session> session_;
  Backoff backoff_;
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::chrono::steady_clock::time_point nextRepublish_{};
  std::vector<int> publishedOnline_;  // per device of the index; -1 not yet published in this session
  std::string lastFailure_;
  std::chrono::steady_clock::time_point lastFailureLogged_{};
  // The module's link statistics, read at most once a second.
  std::unique_ptr<DuzLinkStatistics> statistics_;
  bool statisticsValid_ = false;
  std::chrono::steady_clock::time_point statisticsRead_{};
  std::vector<DuzLinkDeviceStatistics> linkSent_;  // per device: the last JSON link topic
  std::vector<std::chrono::steady_clock::time_point> linkSentAt_;
  std::vector<bool> linkPublished_;  // in this session
  // Sparkplug, network thread only.
  std::uint64_t bdSeq_ = 0;       // of the current or next session
  bool bdSeqUsed_ = false;        // a session connected with it: the next one takes the next
  bool hostOnline_ = false;       // the primary host is online (or there is none)
  bool nodeBorn_ = false;         // NBIRTH sent in this session
  bool rebirth_ = false;          // NCMD asked for one
  bool hostWentOffline_ = false;  // leave the broker and come back
  bool waitingLogged_ = false;
  std::uint64_t lastStateTimestamp_ = 0;
  // Refused commands logged in the current ten minutes; beyond a few, only a count at the end.
  int refusalsLogged_ = 0, refusalsQuiet_ = 0;
  std::chrono::steady_clock::time_point refusalWindow_{};

  std::mutex mutex_;  // guards everything below
  bool stopping_ = false;
  std::deque<Command> commands_;
  struct Answer {
    std::string topic, payload;
  };
  std::deque<Answer> answers_;
  struct Confirmed {
    const TagInfo* tag;
    std::uint64_t fileTime;  // when the instrument confirmed the write
  };
  std::deque<Confirmed> confirmed_;  // Sparkplug writes, for the network thread
  std::condition_variable commandReady_;

  std::thread network_;
  std::thread commandThread_;
};

}  // namespace duz::mqtt
