#include "simulator.h"

namespace duz::tools {

ChildSetup Simulator::withArgv(const std::string& program, const std::vector<std::string>& options,
                               ChildSetup setup) {
  setup.argv = {program};
  setup.argv.insert(setup.argv.end(), options.begin(), options.end());
  return setup;
}

Simulator::Simulator(const std::string& program, const std::vector<std::string>& options, ChildSetup setup,
                     int timeoutMs)
    : child_(withArgv(program, options, std::move(setup))) {
  // Its first line is the line's path; anything else means it did not get that far.
  if (auto line = child_.readLine(timeoutMs); line && line->starts_with("/dev/")) path_ = std::move(*line);
}

}  // namespace duz::tools
