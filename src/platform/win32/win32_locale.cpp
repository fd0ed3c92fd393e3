#include "platform/system.h"

namespace duz {

namespace {
class PlainLocale : public Locale {
 public:
  LocalTime now() override { return {}; }
  std::string monthName(int) override { return {}; }
  std::string weekdayName(int) override { return {}; }
};
class ExeDirectory : public HostDirectory {
 public:
  std::string path() override { return {}; }
  bool replaceFile(const std::string&, const std::string&) override { return false; }
};
}  // namespace

std::unique_ptr<Locale> makeSystemLocale() {
  return std::make_unique<PlainLocale>();
}
std::unique_ptr<HostDirectory> makeSystemHostDirectory() {
  return std::make_unique<ExeDirectory>();
}

}  // namespace duz
