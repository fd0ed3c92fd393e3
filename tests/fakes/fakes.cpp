#include "fakes/fakes.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "link/link.h"
#include "model/cp1251.h"
#include "ui/dialog.h"

namespace duz::test {

bool FakeClock::sleepMs(std::uint32_t ms, StopSignal* stop) {
  if (stop && stop->requested()) return false;
  std::uint64_t now;
  {
    std::lock_guard lock(mutex_);
    nowUs_ += std::uint64_t{ms} * 1000;
    sleeps_.push_back(ms);
    now = nowUs_ / 1000;
  }
  if (onSleep) onSleep(now);
  return !(stop && stop->requested());
}

void FakeClock::pauseMicroseconds(std::uint32_t us) {
  std::lock_guard lock(mutex_);
  nowUs_ += us;
  pausedUs_ += us;
}

std::uint64_t FakeClock::monotonicMs() {
  std::lock_guard lock(mutex_);
  return nowUs_ / 1000;
}

std::uint64_t FakeClock::monotonicUs() {
  std::lock_guard lock(mutex_);
  return nowUs_;
}

std::uint64_t FakeClock::fileTimeNow() {
  std::lock_guard lock(mutex_);
  // 2026-12-07 00:00 UTC plus virtual time, in 100 ns units since 1601.
  return 134096832000000000ull + nowUs_ * 10;
}

void FakeClock::advance(std::uint64_t ms) {
  std::lock_guard lock(mutex_);
  nowUs_ += ms * 1000;
}

std::vector<std::uint32_t> FakeClock::sleeps() {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

void FakeClock::clearSleeps() {
  std::lock_guard lock(mutex_);
  sleeps_.clear();
}

std::uint64_t FakeClock::pausedMicroseconds() {
  std::lock_guard lock(mutex_);
  return pausedUs_;
}

bool FakeSerialPort::configure(const std::string& settings) {
  lastSettings = settings;
  return configureResult;
}

void FakeSerialPort::setTimeouts(const CommTimeouts& t) {
  timeouts = t;
}

void FakeSerialPort::takeAway(const std::string& reason) {
  std::lock_guard lock(mutex_);
  lost_ = reason;
}

std::string FakeSerialPort::lostReason() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

int FakeSerialPort::read(std::uint8_t* buffer, int count) {
  int n = 0;
  {
    std::lock_guard lock(mutex_);
    if (!lost_.empty()) return -1;
    while (n < count && !rx_.empty()) {
      buffer[n++] = rx_.front();
      rx_.pop_front();
    }
  }
  if (n < count) {
    // Nothing more will come: the interval time-out ends a read that has begun, the total one an empty one.
    const std::uint32_t total = timeouts.readTotalConstant + timeouts.readTotalMultiplier * count;
    clock_.advance(n == 0 ? total : timeouts.readInterval);
  }
  return n;
}

int FakeSerialPort::write(const std::uint8_t* buffer, int count) {
  if (!lostReason().empty()) return -1;
  const int sent = writeLimit >= 0 && writeLimit < count ? writeLimit : count;
  Bytes request(buffer, buffer + sent);
  Bytes reply;
  if (responder && sent == count) reply = responder(request);
  std::lock_guard lock(mutex_);
  writes_.push_back(request);
  rx_.insert(rx_.end(), reply.begin(), reply.end());
  return sent;
}

void FakeSerialPort::purgeBeforeWrite() {
  std::lock_guard lock(mutex_);
  rx_.clear();
}

void FakeSerialPort::purgeAfterWrite() {}

std::vector<Bytes> FakeSerialPort::writes() {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::unique_ptr<SerialPort> FakeSerialPorts::open(const std::string& name) {
  if (!openable.empty()) {
    bool ok = false;
    for (const auto& n : openable) ok = ok || n == name;
    if (!ok) return nullptr;
  }
  auto port = std::make_unique<FakeSerialPort>(clock_);
  port->responder = responder;
  port->configureResult = configureResult;
  last = port.get();
  opened.push_back(name);
  return port;
}

Bytes withCrc(Bytes frame) {
  frame.resize(frame.size() + 2);
  putCrc(frame.data(), static_cast<int>(frame.size()));
  return frame;
}

void FakeHostLibrary::exposeAnTag(AnalogTagHandle* h, float v, std::uint32_t q, std::uint64_t ts) {
  std::lock_guard lock(mutex_);
  h->value = v;
  h->quality = q;
  h->timestamp = ts;
  log_.push_back({'a', h, v, q, ts});
}

void FakeHostLibrary::exposeBitTag(BitTagHandle* h, std::int32_t v, std::uint32_t q, std::uint64_t ts) {
  std::lock_guard lock(mutex_);
  // A write command stores this byte too, without our lock, as the host library's records allow.
  std::atomic_ref<std::uint8_t>(h->value).store(static_cast<std::uint8_t>(v), std::memory_order_relaxed);
  h->quality = q;
  h->timestamp = ts;
  log_.push_back({'b', h, static_cast<double>(v), q, ts});
}

void FakeHostLibrary::exposeIntTag(IntTagHandle* h, std::int32_t v, std::uint32_t q, std::uint64_t ts) {
  std::lock_guard lock(mutex_);
  h->value = v;
  h->quality = q;
  h->timestamp = ts;
  log_.push_back({'i', h, static_cast<double>(v), q, ts});
}

std::vector<Publication> FakeHostLibrary::take() {
  std::lock_guard lock(mutex_);
  auto out = std::move(log_);
  log_.clear();
  return out;
}

BoxAnswer FakeOperator::messageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                                   BoxButtons buttons, BoxAnswer defaultButton) {
  BoxAnswer answer = defaultButton;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  boxes.push_back({text, caption, icon, buttons, defaultButton, answer});
  return answer;
}

void FakeOperator::showModal(TForm2& dialog) {
  ++modalShowings;
  dialog.show();
  if (onModal) onModal(dialog);
}

void FakeOperator::showModeless(TForm2& dialog) {
  ++modelessShowings;
  dialog.show();
}
void FakeOperator::repaint(TForm2&) {
  ++repaints;
}
void FakeOperator::hide(TForm2& dialog) {
  ++hides;
  dialog.hide();
}

std::string FakeLocale::monthName(int month) {
  static const char* const names[] = {"январь", "февраль", "март",     "апрель",  "май",    "июнь",
                                      "июль",   "август",  "сентябрь", "октябрь", "ноябрь", "декабрь"};
  return month >= 1 && month <= 12 ? utf8ToCp1251(names[month - 1]) : std::string();
}

std::string FakeLocale::weekdayName(int weekday) {
  static const char* const names[] = {"воскресенье", "понедельник", "вторник", "среда",
                                      "четверг",     "пятница",     "суббота"};
  return weekday >= 0 && weekday <= 6 ? utf8ToCp1251(names[weekday]) : std::string();
}

TempHostDirectory::TempHostDirectory() {
  char pattern[] = "/tmp/duzevod-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  dir_ = made ? made : "/tmp";
}

TempHostDirectory::~TempHostDirectory() {
  std::error_code ec;
  if (dir_ != "/tmp") std::filesystem::remove_all(dir_, ec);
}

bool TempHostDirectory::replaceFile(const std::string& from, const std::string& to) {
  if (failReplace) return false;
  return std::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

class FaultyWrittenFile : public WrittenFile {
 public:
  FaultyWrittenFile(std::ofstream out, FaultyFiles& files) : out_(std::move(out)), files_(files) {}
  std::size_t write(const std::uint8_t* bytes, std::size_t count) override {
    if (files_.writeChunk > 0) count = std::min(count, files_.writeChunk);
    if (files_.diskSpace) {
      count = std::min(count, *files_.diskSpace);
      *files_.diskSpace -= count;
    }
    out_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    return out_ ? count : 0;
  }
  bool close() override {
    out_.close();
    return !files_.failClose && !out_.fail();
  }

 private:
  std::ofstream out_;
  FaultyFiles& files_;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> FaultyFiles::read(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes(limit + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::unique_ptr<WrittenFile> FaultyFiles::create(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return nullptr;
  return std::make_unique<FaultyWrittenFile>(std::move(out), *this);
}

void FaultyFiles::remove(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) std::filesystem::remove(path, ec);
}

}  // namespace duz::test
