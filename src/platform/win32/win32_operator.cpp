#include <cstdlib>

#include "platform/system.h"
#include "ui/scripted_operator.h"

namespace duz {

// Scripted when DUZEVOD_OPERATOR is set, otherwise nobody is asked (the window presentation with
// MessageBoxA comes later). A host without a console has no stderr; the reports are then lost.
std::unique_ptr<Operator> makeSystemOperator() {
  return makeTextOperator(std::getenv("DUZEVOD_OPERATOR"), stderrLineSink());
}

}  // namespace duz
