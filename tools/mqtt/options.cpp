#include "options.h"

#include <charconv>
#include <string_view>

#include "payload.h"

namespace duz::mqtt {

const char* const kUsage =
    "Usage: duzevod-mqtt --module PATH --broker HOST[:PORT] [--prefix TOPIC] [--client-id ID]\n"
    "                    [--qos 0|1|2] [--username NAME --password-file FILE]\n"
    "                    [--tls-ca FILE [--tls-cert FILE --tls-key FILE]]\n"
    "                    [--allow-writes] [--republish SECONDS]\n"
    "                    [--sparkplug GROUP_ID [--edge-node ID] [--primary-host HOST_ID] [--json-too]]\n"
    "                    [--help]\n"
    "\n"
    "Loads the data-server module as its host (its start-up runs inside the load: the configuration from\n"
    "DUZEVOD_DIR, the operator from DUZEVOD_OPERATOR or the terminal) and publishes every tag it serves to\n"
    "an MQTT broker, until SIGTERM or Ctrl-C.\n"
    "\n"
    "  --module PATH          the module, libduzevod.so\n"
    "  --broker HOST[:PORT]   the broker (port 1883, or 8883 with --tls-ca)\n"
    "  --prefix TOPIC         first levels of every topic (default duzevod/<host name>)\n"
    "  --client-id ID         the MQTT client identifier (default: one chosen at each start)\n"
    "  --qos 0|1|2            quality of service of every publication and subscription (default 1)\n"
    "  --username NAME        user name for the broker\n"
    "  --password-file FILE   the password: the first line of FILE (never on the command line)\n"
    "  --tls-ca FILE          connect with TLS, trusting the certificate authorities in FILE\n"
    "  --tls-cert FILE, --tls-key FILE\n"
    "                         a client certificate and its key for brokers that ask for one\n"
    "  --allow-writes         take commands for the alarm instruments' command bits from <prefix>/.../set\n"
    "  --republish SECONDS    publish every tag again this often (default: on change and on reconnect)\n"
    "  --sparkplug GROUP_ID   publish Sparkplug B 3.0 under spBv1.0/GROUP_ID/ instead of the JSON topics\n"
    "  --edge-node ID         the Sparkplug edge node ID (default: the host name)\n"
    "  --primary-host HOST_ID birth only while that host application's STATE says it is online\n"
    "  --json-too             the JSON topics as well; the broker's will is then the Sparkplug NDEATH,\n"
    "                         so <prefix>/status turns offline only on a clean stop\n"
    "  --help                 this text\n"
    "  --version              the program's version\n"
    "\n"
    "Topics (device and tag names as the module names them, '/', '+' and '#' replaced by '_'):\n"
    "  <prefix>/status                    online, or offline (the will, and after a clean stop); retained\n"
    "  <prefix>/<device>/online           1, or 0 while the module counts the device as lost; retained\n"
    "  <prefix>/<device>/<tag>            {\"value\":23.4,\"quality\":192,\"quality_text\":\"good\",\n"
    "                                      \"timestamp\":\"2026-12-08T10:05:01.204Z\"}; retained\n"
    "  <prefix>/<device>/<tag>/set        with --allow-writes: 0, 1, true or false writes a command bit\n"
    "  <prefix>/<device>/<tag>/result     {\"value\":1,\"result\":\"done\"|\"refused\"|\"not confirmed\"}\n"
    "  <prefix>/<device>/link             the device's link statistics, every 10 s and when an error\n"
    "                                     counter changes; retained\n"
    "With --sparkplug: NBIRTH, NDATA, NDEATH, NCMD under spBv1.0/GROUP_ID/…/EDGE_ID, DBIRTH, DDATA, DDEATH\n"
    "and DCMD under …/EDGE_ID/<device>; DCMD writes the command bits with --allow-writes.\n"
    "\n"
    "A lost broker is retried after 1 s, then twice as long each time up to 30 s; values published\n"
    "meanwhile are kept (the latest of each tag) and all of them are published again on reconnect.\n"
    "\n"
    "Exit status: 0 after a clean stop, 1 when the module cannot be loaded or unloaded, 2 for a bad\n"
    "command line or an unreadable password, certificate or key file.\n";

namespace {

bool parseInteger(std::string_view text, int low, int high, int& out) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return false;
  out = value;
  return true;
}

}  // namespace

bool parseBroker(const std::string& text, std::string& host, int& port) {
  std::string_view rest = text;
  std::string_view name;
  if (rest.starts_with('[')) {
    const auto close = rest.find(']');
    if (close == rest.npos) return false;
    name = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return false;
  } else {
    const auto colon = rest.find(':');
    // More than one colon without brackets: a bare IPv6 address, no port.
    if (colon != rest.npos && rest.find(':', colon + 1) != rest.npos) {
      name = rest;
      rest = {};
    } else {
      name = rest.substr(0, colon);
      rest = colon == rest.npos ? std::string_view{} : rest.substr(colon);
    }
  }
  if (name.empty() || name.find_first_of(" \t/") != name.npos) return false;
  port = 0;
  if (!rest.empty() && !parseInteger(rest.substr(1), 1, 65535, port)) return false;
  host = std::string(name);
  return true;
}

bool validSparkplugId(const std::string& id) {
  return !id.empty() && id.find_first_of("/+#") == std::string::npos;
}

bool validPrefix(const std::string& prefix) {
  if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/')
    return false;
  return prefix.find("//") == std::string::npos;
}

std::optional<Options> parseOptions(int argc, char** argv, std::string& error) {
  Options o;
  std::string broker;
  bool prefixGiven = false;
  bool sparkplugGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    const bool takesValue = arg == "--module" || arg == "--broker" || arg == "--prefix" ||
                            arg == "--client-id" || arg == "--qos" || arg == "--username" ||
                            arg == "--password-file" || arg == "--tls-ca" || arg == "--tls-cert" ||
                            arg == "--tls-key" || arg == "--republish" || arg == "--sparkplug" ||
                            arg == "--edge-node" || arg == "--primary-host";
    if (takesValue && !hasValue) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      value = argv[++i];
    } else if (!takesValue && hasValue) {
      error = arg + " takes no value";
      return std::nullopt;
    }
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      return o;
    } else if (arg == "--module") {
      o.modulePath = value;
    } else if (arg == "--broker") {
      broker = value;
    } else if (arg == "--prefix") {
      while (value.size() > 1 && value.back() == '/') value.pop_back();
      o.prefix = value;
      prefixGiven = true;
    } else if (arg == "--client-id") {
      o.clientId = value;
    } else if (arg == "--qos") {
      if (!parseInteger(value, 0, 2, o.qos)) {
        error = "--qos is 0, 1 or 2, not '" + value + "'";
        return std::nullopt;
      }
    } else if (arg == "--username") {
      o.username = value;
    } else if (arg == "--password-file") {
      o.passwordFile = value;
    } else if (arg == "--tls-ca") {
      o.tlsCa = value;
    } else if (arg == "--tls-cert") {
      o.tlsCert = value;
    } else if (arg == "--tls-key") {
      o.tlsKey = value;
    } else if (arg == "--allow-writes") {
      o.allowWrites = true;
    } else if (arg == "--republish") {
      if (!parseInteger(value, 1, 86400, o.republishSeconds)) {
        error = "--republish wants whole seconds from 1 to 86400, not '" + value + "'";
        return std::nullopt;
      }
    } else if (arg == "--sparkplug") {
      o.sparkplugGroup = value;
      sparkplugGiven = true;
    } else if (arg == "--edge-node") {
      // As the device IDs: the characters MQTT gives a meaning in topics become '_'.
      o.edgeNode = topicLevel(value);
    } else if (arg == "--primary-host") {
      o.primaryHost = value;
    } else if (arg == "--json-too") {
      o.jsonToo = true;
    } else {
      error = "unknown option '" + arg + "'";
      return std::nullopt;
    }
  }
  if (o.modulePath.empty()) {
    error = "--module PATH is missing";
    return std::nullopt;
  }
  if (broker.empty()) {
    error = "--broker HOST[:PORT] is missing";
    return std::nullopt;
  }
  if (!parseBroker(broker, o.host, o.port)) {
    error = "--broker wants HOST or HOST:PORT (port 1 to 65535), not '" + broker + "'";
    return std::nullopt;
  }
  if (!o.port) o.port = o.tlsCa.empty() ? 1883 : 8883;
  if (prefixGiven && !validPrefix(o.prefix)) {
    error =
        "--prefix must be a topic without '+', '#', empty levels or a leading '/', not '" + o.prefix + "'";
    return std::nullopt;
  }
  if (!o.passwordFile.empty() && o.username.empty()) {
    error = "--password-file needs --username";
    return std::nullopt;
  }
  if (o.tlsCert.empty() != o.tlsKey.empty()) {
    error = "--tls-cert and --tls-key go together";
    return std::nullopt;
  }
  if (!o.tlsCert.empty() && o.tlsCa.empty()) {
    error = "--tls-cert and --tls-key need --tls-ca";
    return std::nullopt;
  }
  if (!sparkplugGiven && (!o.edgeNode.empty() || !o.primaryHost.empty() || o.jsonToo)) {
    error = "--edge-node, --primary-host and --json-too go with --sparkplug GROUP_ID";
    return std::nullopt;
  }
  for (const auto& [option, id] :
       {std::pair{"--sparkplug", &o.sparkplugGroup}, std::pair{"--primary-host", &o.primaryHost}}) {
    if (id != &o.sparkplugGroup ? id->empty() : !sparkplugGiven) continue;
    if (!validSparkplugId(*id)) {
      error = std::string(option) + " wants an ID without '/', '+' or '#', not '" + *id + "'";
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace duz::mqtt
