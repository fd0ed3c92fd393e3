#include "gateway.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "commands.h"
#include "log.h"
#include "payload.h"

namespace duz::mqtt {

namespace {

// Now as a FILETIME (100 ns since 1601, UTC), the module's own timestamps' scale and clock.
std::uint64_t fileTimeNow() {
  using Ticks = std::chrono::duration<std::uint64_t, std::ratio<1, 10'000'000>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count() +
         116444736000000000ull;
}

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Messages handed to the library and not yet written or acknowledged: beyond this the store keeps the
// changes until the broker has caught up, so a broker that stops reading costs no memory.
constexpr int kMaxUnsent = 1000;
constexpr std::size_t kMaxCommands = 16;
constexpr std::size_t kMaxAnswers = 64;
constexpr auto kConnectTimeout = 15s;
constexpr auto kGoodbyeTimeout = 3s;
// The longest the network thread sleeps: how soon a changed online byte is noticed.
constexpr int kPollMs = 200;
// A failure that repeats word for word is logged again only after this long.
constexpr auto kRepeatLog = 10min;
constexpr int kKeepAliveSeconds = 30;
constexpr auto kStatisticsInterval = 1s;
constexpr auto kLinkInterval = 10s;
// Refused commands logged in ten minutes before the log goes quiet about them.
constexpr int kRefusalsLogged = 20;
constexpr std::size_t kMaxCommandBytes = 64 * 1024;

std::uint64_t utcNowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

bool onlineByte(const DeviceInfo& d) {
  // Written by the polling thread without a lock, one byte.
  return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(*d.online))
             .load(std::memory_order_relaxed) != 0;
}

}  // namespace

Wakeup::Wakeup() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
Wakeup::~Wakeup() {
  if (fd_ >= 0) close(fd_);
}
void Wakeup::signal() {
  const std::uint64_t one = 1;
  // Never blocks: the descriptor is non-blocking, and a full counter is already a wake-up.
  [[maybe_unused]] const auto n = write(fd_, &one, sizeof one);
}
void Wakeup::clear() {
  std::uint64_t value;
  [[maybe_unused]] const auto n = read(fd_, &value, sizeof value);
}

struct Gateway::Session {
  mosquitto* m = nullptr;
  enum class State { Connecting, JustConnected, Connected, Failed } state = State::Connecting;
  std::string failure;
  std::string libraryError;  // the last error the library logged: OpenSSL's reason for a TLS failure
  int unsent = 0;
  Clock::time_point started = Clock::now();
  bool connected = false;  // the broker accepted this session
  int goodbyeMid = -1;
  bool goodbyeSent = false;
  ~Session() {
    if (m) mosquitto_destroy(m);
  }
};

namespace {

std::string describe(int rc, int err, const std::string& libraryError) {
  std::string text =
      rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(err)) : std::string(mosquitto_strerror(rc));
  if (rc == MOSQ_ERR_EAI) text = "cannot resolve the broker's host name";
  if (!libraryError.empty() && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_CONN_LOST))
    text += " (" + libraryError + ")";
  return text;
}

}  // namespace

Gateway::Gateway(const Options& options, std::string password, const TagIndex& index, TagStore& store,
                 Wakeup& wake, SetBitFn setBit, DuzevodLinkStatisticsFn statistics)
    : options_(options),
      password_(std::move(password)),
      index_(index),
      store_(store),
      wake_(wake),
      setBit_(setBit),
      statusTopic_(options.prefix + "/status"),
      json_(options.sparkplugGroup.empty() || options.jsonToo),
      statisticsFn_(statistics),
      linkSent_(index.devices().size()),
      linkSentAt_(index.devices().size()),
      linkPublished_(index.devices().size(), false) {
  if (!options.sparkplugGroup.empty()) {
    sparkplug_ = std::make_unique<SparkplugNode>(options.sparkplugGroup, options.edgeNode, index);
    if (!options.primaryHost.empty()) stateTopic_ = "spBv1.0/STATE/" + options.primaryHost;
  }
  if (statisticsFn_) {
    statistics_ = std::make_unique<DuzLinkStatistics>();
  } else {
    logWarning(
        "the module gives no link statistics (an older module): no link topics, no port or cycle metrics");
  }
}

Gateway::~Gateway() {
  stop();
}

void Gateway::start() {
  network_ = std::thread([this] { networkLoop(); });
  if (options_.allowWrites) commandThread_ = std::thread([this] { commandLoop(); });
}

void Gateway::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  commandReady_.notify_all();
  wake_.signal();
  if (commandThread_.joinable()) commandThread_.join();
  if (network_.joinable()) network_.join();
}

// ---- the network thread

void Gateway::networkLoop() {
  if (options_.republishSeconds)
    nextRepublish_ = Clock::now() + std::chrono::seconds(options_.republishSeconds);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    if (!session_) {
      const auto now = Clock::now();
      if (now < nextAttempt_) {
        pollfd p{wake_.fd(), POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - now).count();
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, kPollMs))) > 0) wake_.clear();
        continue;
      }
      if (!openSession()) continue;
    }
    serviceSession(kPollMs);
  }
  sayGoodbye();
  session_.reset();
}

bool Gateway::openSession() {
  if (bdSeqUsed_) {
    bdSeq_ = (bdSeq_ + 1) % 256;
    bdSeqUsed_ = false;
  }
  auto s = std::make_unique<Session>();
  s->m = mosquitto_new(options_.clientId.empty() ? nullptr : options_.clientId.c_str(), true, this);
  if (!s->m) {
    session_ = std::move(s);
    closeSession("cannot create a client: " + std::string(std::strerror(errno)));
    return false;
  }
  mosquitto_int_option(s->m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // One will per connection: with Sparkplug it is the NDEATH, whose bdSeq the NBIRTH repeats.
  if (sparkplug_) {
    const std::string death = sparkplug_->ndeath(bdSeq_, utcNowMs());
    mosquitto_will_set(s->m, sparkplug_->ndeathTopic().c_str(), static_cast<int>(death.size()), death.data(),
                       1, false);
  } else {
    mosquitto_will_set(s->m, statusTopic_.c_str(), 7, "offline", options_.qos, true);
  }
  if (!options_.username.empty())
    mosquitto_username_pw_set(s->m, options_.username.c_str(),
                              password_.empty() ? nullptr : password_.c_str());
  mosquitto_connect_callback_set(s->m, onConnect);
  mosquitto_disconnect_callback_set(s->m, onDisconnect);
  mosquitto_publish_callback_set(s->m, onPublish);
  mosquitto_message_callback_set(s->m, onMessage);
  mosquitto_log_callback_set(s->m, onLog);
  session_ = std::move(s);
  if (!options_.tlsCa.empty()) {
    const int rc = mosquitto_tls_set(session_->m, options_.tlsCa.c_str(), nullptr,
                                     options_.tlsCert.empty() ? nullptr : options_.tlsCert.c_str(),
                                     options_.tlsKey.empty() ? nullptr : options_.tlsKey.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      closeSession("TLS set-up: " + describe(rc, errno, session_->libraryError));
      return false;
    }
  }
  const int rc =
      mosquitto_connect_async(session_->m, options_.host.c_str(), options_.port, kKeepAliveSeconds);
  const int err = errno;
  if (rc != MOSQ_ERR_SUCCESS) {
    closeSession(describe(rc, err, session_->libraryError));
    return false;
  }
  return true;
}

void Gateway::closeSession(std::string why) {
  const bool wasConnected = session_ && session_->connected;
  session_.reset();
  const auto delay = backoff_.next();
  nextAttempt_ = Clock::now() + delay;
  const std::string where = options_.host + ":" + std::to_string(options_.port);
  const std::string retry = "; trying again in " + std::to_string(delay.count()) + " s";
  if (wasConnected) {
    logError("lost the broker " + where + ": " + why + retry);
    lastFailure_.clear();
    return;
  }
  // Each retry is reported until the delay has grown to its longest; from then on the same failure
  // again only every few minutes, so that a broker away for weeks does not fill the journal.
  const auto now = Clock::now();
  if (why != lastFailure_ || delay < std::chrono::seconds(30) || now - lastFailureLogged_ >= kRepeatLog) {
    logError("cannot connect to the broker " + where + ": " + why + retry);
    lastFailure_ = why;
    lastFailureLogged_ = now;
  }
}

void Gateway::serviceSession(int timeoutMs) {
  mosquitto* m = session_->m;
  pollfd fds[2] = {{wake_.fd(), POLLIN, 0}, {-1, 0, 0}};
  const int sock = mosquitto_socket(m);
  nfds_t n = 1;
  if (sock >= 0) {
    fds[1] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
    n = 2;
  }
  if (poll(fds, n, timeoutMs) > 0 && fds[0].revents) wake_.clear();
  int rc = MOSQ_ERR_SUCCESS;
  if (n == 2 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) rc = mosquitto_loop_read(m, 1);
  if (rc == MOSQ_ERR_SUCCESS && n == 2 && (fds[1].revents & POLLOUT)) rc = mosquitto_loop_write(m, 1);
  const int err = errno;
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m);
  if (rc != MOSQ_ERR_SUCCESS) session_->state = Session::State::Failed;
  if (session_->state == Session::State::Failed) {
    // The broker's refusal (from the connect callback) says more than the library's code for it.
    if (session_->failure.empty())
      session_->failure = rc != MOSQ_ERR_SUCCESS ? describe(rc, err, session_->libraryError)
                                                 : "the broker closed the connection";
    closeSession(session_->failure);
    return;
  }
  if (session_->state == Session::State::Connecting) {
    if (Clock::now() - session_->started > kConnectTimeout) closeSession("no answer within 15 s");
    return;
  }
  if (session_->state == Session::State::JustConnected) onConnected();
  publishPending();
  if (hostWentOffline_) leaveForHost();
}

void Gateway::onConnected() {
  session_->state = Session::State::Connected;
  backoff_.reset();
  lastFailure_.clear();
  logInfo("connected to the broker " + options_.host + ":" + std::to_string(options_.port) + ", publishing " +
          std::to_string(index_.tagCount()) + " tags under " +
          (sparkplug_ ? "spBv1.0/" + options_.sparkplugGroup + " as edge node " + options_.edgeNode +
                            (json_ ? " and under " + options_.prefix : "")
                      : options_.prefix));
  if (sparkplug_) {
    bdSeqUsed_ = true;
    nodeBorn_ = false;
    rebirth_ = false;
    hostWentOffline_ = false;
    waitingLogged_ = false;
    hostOnline_ = stateTopic_.empty();
    for (const std::string& topic : {sparkplug_->ncmdTopic(), sparkplug_->dcmdFilter(), stateTopic_}) {
      if (topic.empty()) continue;
      const int rc = mosquitto_subscribe(session_->m, nullptr, topic.c_str(), 1);
      if (rc != MOSQ_ERR_SUCCESS) logError("cannot subscribe to " + topic + ": " + mosquitto_strerror(rc));
    }
  }
  linkPublished_.assign(linkPublished_.size(), false);
  if (!json_) {
    store_.markAllChanged();
    return;
  }
  publish(statusTopic_, "online", true);
  if (options_.allowWrites) {
    const std::string pattern = options_.prefix + "/+/+/set";
    const int rc = mosquitto_subscribe(session_->m, nullptr, pattern.c_str(), options_.qos);
    if (rc != MOSQ_ERR_SUCCESS) logError("cannot subscribe to " + pattern + ": " + mosquitto_strerror(rc));
  }
  // Everything again: the broker may have lost its retained messages, or missed changes while away.
  publishedOnline_.assign(index_.devices().size(), -1);
  store_.markAllChanged();
}

bool Gateway::publish(const std::string& topic, const std::string& payload, bool retain, int qos, int* mid) {
  if (!session_ || session_->state == Session::State::Failed) return false;
  int id = 0;
  const int rc = mosquitto_publish(session_->m, &id, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos < 0 ? options_.qos : qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    session_->state = Session::State::Failed;
    session_->failure = describe(rc, errno, session_->libraryError);
    return false;
  }
  ++session_->unsent;
  if (mid) *mid = id;
  return true;
}

void Gateway::readStatistics() {
  if (!statisticsFn_) return;
  const auto now = Clock::now();
  if (statisticsValid_ && now - statisticsRead_ < kStatisticsInterval) return;
  statisticsRead_ = now;
  statistics_->size = sizeof(DuzLinkStatistics);
  statisticsValid_ = statisticsFn_(statistics_.get()) == 1;
}

void Gateway::publishLinks() {
  if (!statisticsValid_ || !session_ || session_->state != Session::State::Connected ||
      session_->unsent >= kMaxUnsent)
    return;
  const auto now = Clock::now();
  const auto& devices = index_.devices();
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const DuzLinkDeviceStatistics& s = statistics_->devices[devices[i].slot];
    const bool due = !linkPublished_[i] || !sameLinkErrors(s, linkSent_[i]) ||
                     (now - linkSentAt_[i] >= kLinkInterval && std::memcmp(&s, &linkSent_[i], sizeof s) != 0);
    if (!due || !publish(devices[i].topic + "/link", linkPayload(s), true)) continue;
    linkSent_[i] = s;
    linkSentAt_[i] = now;
    linkPublished_[i] = true;
  }
}

void Gateway::publishSparkplug() {
  // A broker that stops reading gets nothing more until it catches up: births and data are made from
  // the latest values when it does.
  if (!session_ || session_->state != Session::State::Connected || session_->unsent >= kMaxUnsent) return;
  const std::uint64_t now = utcNowMs();
  std::optional<NodeStatus> status;
  if (statisticsValid_) {
    NodeStatus n;
    n.portName =
        std::string(statistics_->portName, strnlen(statistics_->portName, sizeof statistics_->portName));
    n.portState = portStateText(statistics_->portState);
    n.version = std::string(statistics_->version, strnlen(statistics_->version, sizeof statistics_->version));
    n.reopened = statistics_->reopenedCount;
    n.cyclePeriodMs = statistics_->cyclePeriodMs;
    status = n;
  }
  if (!hostOnline_) {
    if (!waitingLogged_)
      logInfo("waiting for the primary host application " + options_.primaryHost + " to be online");
    waitingLogged_ = true;
    return;
  }
  if (!nodeBorn_ || rebirth_) {
    const Outgoing birth = sparkplug_->nbirth(bdSeq_, status ? &*status : nullptr, now);
    if (!publish(birth.topic, birth.payload, false, 0)) return;
    if (!nodeBorn_)
      logInfo("born as edge node " + options_.edgeNode + " with bdSeq " + std::to_string(bdSeq_));
    nodeBorn_ = true;
    rebirth_ = false;
  } else if (status) {
    if (const auto data = sparkplug_->ndata(*status, now)) publish(data->topic, data->payload, false, 0);
  }
  std::vector<bool> online;
  for (const DeviceInfo& d : index_.devices()) online.push_back(onlineByte(d));
  std::vector<Outgoing> out;
  sparkplug_->step(online, statisticsValid_ ? statistics_.get() : nullptr, now, out);
  for (const Outgoing& o : out)
    if (!publish(o.topic, o.payload, false, 0)) break;
}

void Gateway::publishPending() {
  std::deque<Answer> answers;
  std::deque<Confirmed> confirmed;
  {
    std::lock_guard lock(mutex_);
    answers.swap(answers_);
    confirmed.swap(confirmed_);
  }
  if (sparkplug_)
    for (const Confirmed& c : confirmed) sparkplug_->writeConfirmed(*c.tag, c.fileTime);
  for (const Answer& a : answers) publish(a.topic, a.payload, false);
  readStatistics();
  if (!json_) {
    if (!session_ || session_->state != Session::State::Connected) return;
    // Every change is taken while there is room, and the node keeps the latest of each tag: births
    // need them all, data by exception only what changed.
    if (kMaxUnsent - session_->unsent > 0)
      for (const TagValue& v : store_.takeChanged(index_.tagCount() + 1)) sparkplug_->update(v);
    publishSparkplug();
    return;
  }

  if (options_.republishSeconds && Clock::now() >= nextRepublish_) {
    nextRepublish_ = Clock::now() + std::chrono::seconds(options_.republishSeconds);
    publishedOnline_.assign(index_.devices().size(), -1);
    store_.markAllChanged();
  }
  const auto& devices = index_.devices();
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const int online = onlineByte(devices[i]) ? 1 : 0;
    if (online != publishedOnline_[i] && publish(devices[i].topic + "/online", online ? "1" : "0", true))
      publishedOnline_[i] = online;
  }
  if (!session_ || session_->state != Session::State::Connected) return;
  publishLinks();
  const int room = kMaxUnsent - session_->unsent;
  if (room > 0) {
    for (const TagValue& v : store_.takeChanged(static_cast<std::size_t>(room))) {
      if (sparkplug_) sparkplug_->update(v);
      const TagInfo* tag = index_.byHandle(v.handle);
      if (!tag) continue;
      if (!publish(tag->topic, tagPayload(tag->kind, v.value, v.quality, v.timestamp), true)) break;
    }
  }
  if (sparkplug_) publishSparkplug();
}

void Gateway::sayGoodbye() {
  if (!session_ || session_->state != Session::State::Connected) {
    logWarning(std::string("stopping while not connected to the broker: the ") +
               (json_ ? "offline status" : "NDEATH") + " could not be published");
    return;
  }
  farewell();
}

void Gateway::leaveForHost() {
  hostWentOffline_ = false;
  logInfo("the primary host application " + options_.primaryHost +
          " went offline: leaving the broker, and connecting again to wait for it");
  if (session_->state == Session::State::Connected) farewell();
  session_.reset();
  backoff_.reset();
  nextAttempt_ = Clock::now() + backoff_.next();
}

void Gateway::farewell() {
  if (sparkplug_ && !publish(sparkplug_->ndeathTopic(), sparkplug_->ndeath(bdSeq_, utcNowMs()), false, 1,
                             &session_->goodbyeMid))
    return;
  if (json_ && !publish(statusTopic_, "offline", true, -1, &session_->goodbyeMid)) return;
  const auto until = Clock::now() + kGoodbyeTimeout;
  while (session_->state == Session::State::Connected && !session_->goodbyeSent && Clock::now() < until) {
    mosquitto* m = session_->m;
    pollfd p{mosquitto_socket(m), static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
    if (p.fd < 0 || poll(&p, 1, 50) < 0) break;
    int rc = MOSQ_ERR_SUCCESS;
    if (p.revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(m, 1);
    if (rc == MOSQ_ERR_SUCCESS && (p.revents & POLLOUT)) rc = mosquitto_loop_write(m, 1);
    if (rc != MOSQ_ERR_SUCCESS) break;
  }
  if (!session_->goodbyeSent)
    logWarning(std::string("the broker did not take the ") + (json_ ? "offline status" : "NDEATH") +
               " in time");
  mosquitto_disconnect(session_->m);
  // The DISCONNECT packet goes out at once; anything the library still holds is written here.
  for (int i = 0; i < 10 && mosquitto_want_write(session_->m) && mosquitto_socket(session_->m) >= 0; ++i)
    if (mosquitto_loop_write(session_->m, 1) != MOSQ_ERR_SUCCESS) break;
  logInfo("left the broker " + options_.host + ":" + std::to_string(options_.port));
}

// ---- library callbacks, called on the network thread from inside the loop calls above

void Gateway::onConnect(mosquitto*, void* self, int rc) {
  auto* g = static_cast<Gateway*>(self);
  if (!g->session_) return;
  if (rc == 0) {
    g->session_->state = Session::State::JustConnected;
    g->session_->connected = true;
    return;
  }
  g->session_->state = Session::State::Failed;
  std::string why;
  switch (rc) {
    case 1:
      why = "it does not speak MQTT 3.1.1";
      break;
    case 2:
      why = "it rejected the client identifier";
      break;
    case 3:
      why = "it is unavailable";
      break;
    case 4:
      why = "bad user name or password";
      break;
    case 5:
      why = g->options_.username.empty()
                ? "not authorised: the broker wants a user name (--username, --password-file)"
                : "not authorised: bad user name or password, or the user may not connect";
      break;
    default:
      why = "code " + std::to_string(rc);
  }
  g->session_->failure = "the broker refused the connection: " + why;
}

void Gateway::onDisconnect(mosquitto*, void* self, int rc) {
  // The loop call that led here returns the reason; an orderly end (rc 0) is our own doing.
  auto* g = static_cast<Gateway*>(self);
  if (g->session_ && rc != 0) g->session_->state = Session::State::Failed;
}

void Gateway::onPublish(mosquitto*, void* self, int mid) {
  auto* g = static_cast<Gateway*>(self);
  if (!g->session_) return;
  if (g->session_->unsent > 0) --g->session_->unsent;
  if (mid == g->session_->goodbyeMid) g->session_->goodbyeSent = true;
}

void Gateway::onLog(mosquitto*, void* self, int level, const char* text) {
  auto* g = static_cast<Gateway*>(self);
  if (g->session_ && (level & MOSQ_LOG_ERR) && text) g->session_->libraryError = text;
}

void Gateway::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
  if (message && message->topic) static_cast<Gateway*>(self)->handleMessage(*message);
}

// ---- commands

void Gateway::handleMessage(const mosquitto_message& message) {
  const std::string topic = message.topic;
  const std::string payload(static_cast<const char*>(message.payload),
                            message.payload ? static_cast<std::size_t>(message.payloadlen) : 0);
  if (sparkplug_ && topic.starts_with("spBv1.0/")) {
    handleSparkplug(topic, payload, message.retain);
    return;
  }
  if (!json_ || !options_.allowWrites) return;
  auto d = decideSet(index_, topic, payload, message.retain);
  if (!d) return;
  if (d->tag) {
    std::lock_guard lock(mutex_);
    if (commands_.size() >= kMaxCommands)
      d->reason = "too many commands waiting";
    else
      commands_.push_back({d->tag, *d->value, true});
  }
  if (!d->reason.empty()) {
    logWarning("refused " + topic + " = '" + payload.substr(0, 40) + "': " + d->reason);
    answer(d->base + "/result", d->value, "refused", d->reason);
    return;
  }
  commandReady_.notify_one();
}

void Gateway::refuse(const std::string& what) {
  const auto now = Clock::now();
  if (now - refusalWindow_ >= kRepeatLog) {
    if (refusalsQuiet_)
      logWarning(std::to_string(refusalsQuiet_) + " more commands were refused and not logged");
    refusalWindow_ = now;
    refusalsLogged_ = refusalsQuiet_ = 0;
  }
  if (refusalsLogged_ < kRefusalsLogged) {
    ++refusalsLogged_;
    logWarning(what +
               (refusalsLogged_ == kRefusalsLogged ? " (further refusals are counted, not logged)" : ""));
  } else {
    ++refusalsQuiet_;
  }
}

void Gateway::handleSparkplug(const std::string& topic, const std::string& payload, bool retained) {
  // A command or a STATE is a few metrics or words; anything larger is not parsed at all.
  if (payload.size() > kMaxCommandBytes) {
    refuse("ignored " + std::to_string(payload.size()) + " bytes on " + topic);
    return;
  }
  if (topic == stateTopic_) {
    const auto state = parseHostState(payload);
    if (!state) {
      refuse("ignored a STATE of " + options_.primaryHost +
             " that is not {\"online\": bool, \"timestamp\": ms}");
      return;
    }
    // A STATE older than the last one is a stale retained message or an old session's will.
    if (state->timestamp < lastStateTimestamp_) return;
    lastStateTimestamp_ = state->timestamp;
    if (state->online && !hostOnline_)
      logInfo("the primary host application " + options_.primaryHost + " is online");
    if (!state->online && hostOnline_) hostWentOffline_ = true;
    hostOnline_ = state->online;
    return;
  }
  if (retained) {
    refuse("ignored a retained command on " + topic);
    return;
  }
  if (topic == sparkplug_->ncmdTopic()) {
    std::string why;
    if (sparkplug_->rebirthCommand(payload, why))
      rebirth_ = true;
    else
      refuse("ignored an NCMD: " + why);
    return;
  }
  const std::string dcmd = "spBv1.0/" + options_.sparkplugGroup + "/DCMD/" + options_.edgeNode + "/";
  if (!topic.starts_with(dcmd)) return;
  const std::string device = topic.substr(dcmd.size());
  if (!options_.allowWrites) {
    refuse("ignored a DCMD for " + device + ": writes are not allowed (--allow-writes)");
    return;
  }
  std::vector<std::string> refusals;
  const auto writes = sparkplug_->deviceCommand(device, payload, refusals);
  for (const auto& r : refusals) refuse("ignored in a DCMD for " + device + ": " + r);
  {
    std::lock_guard lock(mutex_);
    for (const auto& w : writes) {
      if (commands_.size() >= kMaxCommands) {
        refuse("ignored in a DCMD for " + device + ": too many commands waiting");
        break;
      }
      commands_.push_back({w.tag, w.value, false});
    }
  }
  if (!writes.empty()) commandReady_.notify_one();
}

void Gateway::answer(const std::string& topic, std::optional<std::uint32_t> value, const std::string& result,
                     const std::string& reason) {
  {
    std::lock_guard lock(mutex_);
    if (answers_.size() >= kMaxAnswers) answers_.pop_front();
    answers_.push_back({topic, resultPayload(value, result, reason)});
  }
  wake_.signal();
}

void Gateway::commandLoop() {
  for (;;) {
    Command c{};
    {
      std::unique_lock lock(mutex_);
      commandReady_.wait(lock, [&] { return stopping_ || !commands_.empty(); });
      if (stopping_) return;
      c = commands_.front();
      commands_.pop_front();
    }
    const bool done = (setBit_(c.tag->identifier(), c.value) & 0xFF) == 1;
    const std::string base = c.tag->topic;
    if (!c.answer) {
      // A Sparkplug command has no answer topic: the new value arrives as DDATA.
      if (done) {
        logInfo("wrote " + c.tag->name + " = " + std::to_string(c.value));
        {
          std::lock_guard lock(mutex_);
          if (confirmed_.size() >= kMaxAnswers) confirmed_.pop_front();
          confirmed_.push_back({c.tag, fileTimeNow()});
        }
        wake_.signal();
      } else
        logWarning("write " + c.tag->name + " = " + std::to_string(c.value) +
                   " was not confirmed by the instrument");
    } else if (done) {
      logInfo("wrote " + base + " = " + std::to_string(c.value));
      answer(base + "/result", c.value, "done", "");
    } else {
      logWarning("write " + base + " = " + std::to_string(c.value) + " was not confirmed by the instrument");
      answer(base + "/result", c.value, "not confirmed", "the instrument did not confirm the write");
    }
  }
}

}  // namespace duz::mqtt
