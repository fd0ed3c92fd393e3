#include "gateway.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "log.h"
#include "payload.h"

namespace duz::mqtt {

namespace {

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
                 Wakeup& wake, SetBitFn setBit)
    : options_(options),
      password_(std::move(password)),
      index_(index),
      store_(store),
      wake_(wake),
      setBit_(setBit),
      statusTopic_(options.prefix + "/status") {}

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
  auto s = std::make_unique<Session>();
  s->m = mosquitto_new(options_.clientId.empty() ? nullptr : options_.clientId.c_str(), true, this);
  if (!s->m) {
    session_ = std::move(s);
    closeSession("cannot create a client: " + std::string(std::strerror(errno)));
    return false;
  }
  mosquitto_int_option(s->m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_will_set(s->m, statusTopic_.c_str(), 7, "offline", options_.qos, true);
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
}

void Gateway::onConnected() {
  session_->state = Session::State::Connected;
  backoff_.reset();
  lastFailure_.clear();
  logInfo("connected to the broker " + options_.host + ":" + std::to_string(options_.port) + ", publishing " +
          std::to_string(index_.tagCount()) + " tags under " + options_.prefix);
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

bool Gateway::publish(const std::string& topic, const std::string& payload, bool retain) {
  if (!session_ || session_->state == Session::State::Failed) return false;
  int mid = 0;
  const int rc = mosquitto_publish(session_->m, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), options_.qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    session_->state = Session::State::Failed;
    session_->failure = describe(rc, errno, session_->libraryError);
    return false;
  }
  ++session_->unsent;
  if (topic == statusTopic_ && payload == "offline") session_->goodbyeMid = mid;
  return true;
}

void Gateway::publishPending() {
  std::deque<Answer> answers;
  {
    std::lock_guard lock(mutex_);
    answers.swap(answers_);
  }
  for (const Answer& a : answers) publish(a.topic, a.payload, false);

  if (options_.republishSeconds && Clock::now() >= nextRepublish_) {
    nextRepublish_ = Clock::now() + std::chrono::seconds(options_.republishSeconds);
    publishedOnline_.assign(index_.devices().size(), -1);
    store_.markAllChanged();
  }
  const auto& devices = index_.devices();
  for (std::size_t i = 0; i < devices.size(); ++i) {
    // Written by the polling thread without a lock, one byte.
    const int online = std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(*devices[i].online))
                               .load(std::memory_order_relaxed)
                           ? 1
                           : 0;
    if (online != publishedOnline_[i] && publish(devices[i].topic + "/online", online ? "1" : "0", true))
      publishedOnline_[i] = online;
  }
  if (!session_ || session_->state != Session::State::Connected) return;
  const int room = kMaxUnsent - session_->unsent;
  if (room <= 0) return;
  for (const TagValue& v : store_.takeChanged(static_cast<std::size_t>(room))) {
    const TagInfo* tag = index_.byHandle(v.handle);
    if (!tag) continue;
    if (!publish(tag->topic, tagPayload(tag->kind, v.value, v.quality, v.timestamp), true)) break;
  }
}

void Gateway::sayGoodbye() {
  if (!session_ || session_->state != Session::State::Connected) {
    logWarning("stopping while not connected to the broker: the offline status could not be published");
    return;
  }
  if (!publish(statusTopic_, "offline", true)) return;
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
  if (!session_->goodbyeSent) logWarning("the broker did not take the offline status in time");
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
  const std::string_view suffix = "/set";
  if (!topic.ends_with(suffix)) return;
  const std::string base = topic.substr(0, topic.size() - suffix.size());
  const std::string payload(static_cast<const char*>(message.payload),
                            message.payload ? static_cast<std::size_t>(message.payloadlen) : 0);
  const auto value = commandValue(payload);
  const TagInfo* tag = index_.byTopic(base);
  std::string reason;
  if (message.retain)
    reason = "a retained command is not carried out (publish /set without the retain flag)";
  else if (!tag)
    reason = "no such tag";
  else if (!tag->command)
    reason =
        "not a command bit of an alarm instrument; only Reset, Cancellation of the signal system and "
        "Mode of blocking can be written";
  else if (!value)
    reason = "the payload must be 0, 1, true or false";
  if (reason.empty()) {
    std::lock_guard lock(mutex_);
    if (commands_.size() >= kMaxCommands)
      reason = "too many commands waiting";
    else
      commands_.push_back({tag, *value});
  }
  if (!reason.empty()) {
    logWarning("refused " + topic + " = '" + payload.substr(0, 40) + "': " + reason);
    answer(base + "/result", value, "refused", reason);
    return;
  }
  commandReady_.notify_one();
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
    if (done) {
      logInfo("wrote " + base + " = " + std::to_string(c.value));
      answer(base + "/result", c.value, "done", "");
    } else {
      logWarning("write " + base + " = " + std::to_string(c.value) + " was not confirmed by the instrument");
      answer(base + "/result", c.value, "not confirmed", "the instrument did not confirm the write");
    }
  }
}

}  // namespace duz::mqtt
