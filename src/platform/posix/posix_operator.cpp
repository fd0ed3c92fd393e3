#include <cstdlib>

#include "platform/posix/terminal_operator.h"
#include "platform/system.h"
#include "ui/scripted_operator.h"

namespace duz {

// Scripted when DUZEVOD_OPERATOR is set; the terminal dialog when stdin and stdout are terminals;
// otherwise nobody is asked.
std::unique_ptr<Operator> makeSystemOperator() {
  const char* script = std::getenv("DUZEVOD_OPERATOR");
  if (!script && terminalAvailable())
    return std::make_unique<TerminalOperator>(makeTextOperator(nullptr, stderrLineSink()));
  return makeTextOperator(script, stderrLineSink());
}

}  // namespace duz
