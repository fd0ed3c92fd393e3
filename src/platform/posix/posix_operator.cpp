#include <cstdio>
#include <cstdlib>

#include "platform/system.h"
#include "ui/scripted_operator.h"

namespace duz {

// Scripted when DUZEVOD_OPERATOR is set, otherwise nobody is asked. Reports go to stderr, a whole line
// per write so that they do not interleave with the host's own output.
std::unique_ptr<Operator> makeSystemOperator() {
  return makeTextOperator(std::getenv("DUZEVOD_OPERATOR"), [](const std::string& line) {
    const std::string whole = line + "\n";
    std::fwrite(whole.data(), 1, whole.size(), stderr);
    std::fflush(stderr);
  });
}

}  // namespace duz
