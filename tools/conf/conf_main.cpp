// duzevod-conf: shows, checks and makes the module's configuration file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "conf_show.h"
#include "conf_text.h"
#include "duz_version.h"
#include "platform/system.h"
#include "startup/config_file.h"

namespace {

const char kUsage[] = R"(Usage: duzevod-conf show FILE
       duzevod-conf check FILE
       duzevod-conf make TEXT-FILE FILE
       duzevod-conf --help
       duzevod-conf --version

Reads and writes DUZEvod.sys, the configuration file the module keeps beside the host (or in
DUZEVOD_DIR): the devices found by the last search, the port and its settings, and when the
configuration was made.

  show FILE      decodes the file: every device with its model-specific fields in words, the port,
                 the settings, the description and the checksum
  check FILE     says whether the module would restore the file
  make TEXT-FILE FILE
                 writes a configuration file from a text description (below; "-" reads standard
                 input), for commissioning without a search. The module restores it like a file it
                 saved itself.

Exit status: 0 done (show, make) or valid (check); 1 damaged or malformed input (the message says
which byte or line) or a file that cannot be written; 2 bad command line or a file that cannot be read.

)";

int usageError(const std::string& message) {
  std::fprintf(stderr, "duzevod-conf: %s\nRun duzevod-conf --help for the commands.\n", message.c_str());
  return 2;
}

bool readAll(const std::string& path, std::vector<std::uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  // Anything beyond the largest configuration is damage; a few bytes more say so.
  std::vector<char> buffer(duz::kConfigMaxFileSize + 16);
  in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  if (in.bad()) return false;
  out.assign(buffer.begin(), buffer.begin() + in.gcount());
  return true;
}

// Reads and decodes FILE; 0 valid, 1 damaged, 2 unreadable (messages printed).
int decode(const std::string& path, duz::DecodedConfig& decoded, std::size_t& size) {
  std::vector<std::uint8_t> file;
  if (!readAll(path, file)) {
    std::fprintf(stderr, "duzevod-conf: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return 2;
  }
  size = file.size();
  decoded = duz::decodeConfigFile(file);
  if (!decoded.valid()) {
    std::printf("%s: damaged: %s\n", path.c_str(), decoded.error.c_str());
    return 1;
  }
  return 0;
}

int show(const std::string& path) {
  duz::DecodedConfig decoded;
  std::size_t size = 0;
  if (const int status = decode(path, decoded, size)) return status;
  std::printf("File:         %s (%zu bytes)\n", path.c_str(), size);
  std::printf("Checksum:     0x%04X, valid\n", unsigned{decoded.storedChecksum});
  std::fputs(duz::conf::describeConfig(decoded.contents).c_str(), stdout);
  return 0;
}

int check(const std::string& path) {
  duz::DecodedConfig decoded;
  std::size_t size = 0;
  if (const int status = decode(path, decoded, size)) return status;
  std::printf("%s: valid, %d device%s\n", path.c_str(), decoded.contents.count,
              decoded.contents.count == 1 ? "" : "s");
  return 0;
}

int make(const std::string& textPath, const std::string& path) {
  std::string text;
  if (textPath == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(textPath, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "duzevod-conf: cannot read %s: %s\n", textPath.c_str(), std::strerror(errno));
      return 2;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::istringstream lines(text);
  duz::conf::ConfigText parsed;
  std::string error;
  if (!duz::conf::parseConfigText(lines, textPath == "-" ? "(standard input)" : textPath, parsed, error)) {
    std::fprintf(stderr, "duzevod-conf: %s\n", error.c_str());
    return 1;
  }
  // Without a description of its own, the file says when it was made, as after a search.
  if (!parsed.descriptionGiven)
    parsed.contents.description = duz::storedDescription(duz::describeCreation(*duz::makeSystemLocale()));

  const std::vector<std::uint8_t> bytes = duz::encodeConfigFile(parsed.contents);
  // Written whole beside FILE and then put in its place: a failed write never spoils a file that was
  // there.
  const std::string temporary = path + ".new";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  std::string reason = std::strerror(errno);
  if (f) ok = std::fclose(f) == 0 && ok;
  if (ok) {
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    ok = !ec;
    if (ec) reason = ec.message();
  }
  if (!ok) {
    std::fprintf(stderr, "duzevod-conf: cannot write %s: %s\n", path.c_str(), reason.c_str());
    std::remove(temporary.c_str());
    return 1;
  }
  std::printf("%s: %d device%s, %zu bytes\n", path.c_str(), parsed.contents.count,
              parsed.contents.count == 1 ? "" : "s", bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usageError("a command is needed: show, check or make");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    std::fputs(duz::conf::kTextFormat, stdout);
    return 0;
  }
  if (command == "--version") {
    return duz::printVersion("duzevod-conf");
  }
  if (command == "show" || command == "check") {
    if (args.size() != 2) return usageError("usage: duzevod-conf " + command + " FILE");
    return command == "show" ? show(args[1]) : check(args[1]);
  }
  if (command == "make") {
    if (args.size() != 3) return usageError("usage: duzevod-conf make TEXT-FILE FILE");
    return make(args[1], args[2]);
  }
  return usageError("unknown command '" + command + "' (show, check, make)");
}
