// The gateway's command line.
#pragma once

#include <optional>
#include <string>

namespace duz::mqtt {

struct Options {
  std::string modulePath;
  std::string host;
  int port = 0;          // 0 until parsed: 1883, or 8883 with TLS
  std::string prefix;    // without a trailing '/'; empty: duzevod/<host name>
  std::string clientId;  // empty: the library chooses one
  int qos = 1;
  std::string username;
  std::string passwordFile;
  std::string tlsCa, tlsCert, tlsKey;
  bool allowWrites = false;
  int republishSeconds = 0;    // 0: only on change and on (re)connect
  std::string sparkplugGroup;  // empty: JSON only
  std::string edgeNode;        // empty until parsed: the host name
  std::string primaryHost;     // empty: birth at once after connecting
  bool jsonToo = false;        // JSON topics beside Sparkplug B
  bool help = false;
};

extern const char* const kUsage;

// The options, or nothing with `error` saying what is wrong. Checks the words only; files are read later.
std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

// "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT"; false when it is none of these.
bool parseBroker(const std::string& text, std::string& host, int& port);

// A Sparkplug group, edge node or host ID: not empty, no '/', '+' or '#'.
bool validSparkplugId(const std::string& id);

// A topic prefix is usable when it is not empty and holds no wildcard and no empty level.
bool validPrefix(const std::string& prefix);

}  // namespace duz::mqtt
