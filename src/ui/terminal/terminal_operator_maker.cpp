#include <cstdlib>

#include "ui/scripted/scripted_operator.h"
#include "ui/system_operator.h"
#include "ui/terminal/terminal_operator.h"

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
