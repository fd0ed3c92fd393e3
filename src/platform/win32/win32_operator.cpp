#include <cstdio>
#include <cstdlib>

#include "platform/system.h"
#include "ui/scripted_operator.h"

namespace duz {

// Scripted when DUZEVOD_OPERATOR is set, otherwise nobody is asked (the window presentation with
// MessageBoxA comes later). A host without a console has no stderr; the reports are then lost, which
// costs nothing.
std::unique_ptr<Operator> makeSystemOperator() {
  return makeTextOperator(std::getenv("DUZEVOD_OPERATOR"), [](const std::string& line) {
    const std::string whole = line + "\n";
    std::fwrite(whole.data(), 1, whole.size(), stderr);
    std::fflush(stderr);
  });
}

}  // namespace duz
