// duzevod-mqtt: the module's host on a Linux gateway. Loads the module, takes every value it publishes
// through the host library and forwards it to an MQTT broker; takes the alarm instruments' command bits
// back when writes are allowed.
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "duz_version.h"
#include "gateway.h"
#include "host/shell/exports.h"
#include "log.h"
#include "module_library.h"
#include "options.h"
#include "payload.h"
#include "tag_index.h"
#include "tag_store.h"
#include "tessarin.h"

namespace {

using namespace duz::mqtt;

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const auto n = write(signalPipe[1], &byte, 1);
  errno = saved;
}

// Every publication of the module, on its polling thread: into the store, nothing else.
void TESSARIN_CDECL observe(void* context, int kind, const void* handle, double value, std::uint32_t quality,
                            std::uint64_t timestamp) {
  static_cast<TagStore*>(context)->put({handle, kind, value, quality, timestamp});
}

bool readPassword(const std::string& path, std::string& password, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the password file '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    error = "the password file '" + path + "' holds no password on its first line";
    return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH))
    logWarning("the password file '" + path + "' is readable by every user (chmod o-r)");
  return true;
}

bool readable(const std::string& path, const char* option, std::string& error) {
  if (path.empty() || access(path.c_str(), R_OK) == 0) return true;
  error = std::string("cannot read ") + option + " '" + path + "': " + std::strerror(errno);
  return false;
}

std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) std::strcpy(name, "localhost");
  return topicLevel(name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") return duz::printVersion("duzevod-mqtt");
  std::string error;
  auto parsed = parseOptions(argc, argv, error);
  if (!parsed) {
    std::fprintf(stderr, "duzevod-mqtt: %s\nRun duzevod-mqtt --help for the options.\n", error.c_str());
    return 2;
  }
  if (parsed->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options options = *parsed;
  if (options.prefix.empty()) options.prefix = "duzevod/" + hostName();
  if (!options.sparkplugGroup.empty() && options.edgeNode.empty()) options.edgeNode = hostName();
  std::string password;
  if ((!options.passwordFile.empty() && !readPassword(options.passwordFile, password, error)) ||
      !readable(options.tlsCa, "--tls-ca", error) || !readable(options.tlsCert, "--tls-cert", error) ||
      !readable(options.tlsKey, "--tls-key", error)) {
    logError(error);
    return 2;
  }
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    logError(std::string("cannot make a pipe: ") + std::strerror(errno));
    return 1;
  }

  // The store takes publications from the first one on, also those made while the load still runs.
  Wakeup wake;
  TagStore store(3 * duz::kSlots * duz::kTagsPerKind, [&wake] { wake.signal(); });
  tessarinObserve(observe, &store);

  auto library = duz::tools::ModuleLibrary::load(options.modulePath, error);
  if (!library) {
    tessarinObserve(nullptr, nullptr);
    logError("cannot load the module '" + options.modulePath + "': " + error);
    return 1;
  }
  const auto getData = library->function<duz::GetDataForDUZEvoderFn>("GetDataForDUZEvoder");
  const auto setBit = library->function<duz::SetTagValueFn>("SetBitTagValue");
  const auto statistics = library->function<duz::DuzevodLinkStatisticsFn>("DuzevodLinkStatistics");
  const duz::DeviceStatusRecord* table = getData ? getData() : nullptr;
  if (!table || !setBit) {
    tessarinObserve(nullptr, nullptr);
    logError("'" + options.modulePath +
             "' is not the module: it lacks GetDataForDUZEvoder or SetBitTagValue");
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const TagIndex index(table, options.prefix);
  for (const auto& topic : index.clashes())
    logWarning("two tags would share the topic '" + topic + "': only the first is published");
  if (index.devices().empty()) {
    const char* dir = std::getenv("DUZEVOD_DIR");
    logWarning(std::string("the module serves no device: is its configuration in ") +
               (dir && *dir ? dir : "the program's folder (DUZEVOD_DIR names another)") +
               "? Make one with a search or with duzevod-conf make (see the README)");
  } else
    logInfo("the module serves " + std::to_string(index.devices().size()) + " devices with " +
            std::to_string(index.tagCount()) + " tags" + (options.allowWrites ? "; writes allowed" : ""));

  mosquitto_lib_init();
  {
    Gateway gateway(options, password, index, store, wake, setBit, statistics);
    gateway.start();
    for (;;) {
      pollfd p{signalPipe[0], POLLIN, 0};
      if (poll(&p, 1, -1) > 0) break;
      if (errno != EINTR) break;
    }
    logInfo("stopping");
    gateway.stop();
  }
  mosquitto_lib_cleanup();
  tessarinObserve(nullptr, nullptr);
  if (const auto dropped = store.dropped()) logWarning(std::to_string(dropped) + " publications had no room");
  if (!library->unload(error)) {
    logError("cannot unload the module: " + error);
    return 1;
  }
  return 0;
}
