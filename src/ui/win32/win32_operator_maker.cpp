#include <cstdlib>
#include <memory>

#include "ui/scripted/scripted_operator.h"
#include "ui/system_operator.h"
#include "ui/win32/win32_window_operator.h"

namespace duz {

// Scripted when DUZEVOD_OPERATOR is set; otherwise the operator at the screen, with message boxes and the
// dialog's window. Where nobody can see a window (a service's desktop, or no display at all) nobody is
// asked. A host without a console has no stderr; the reports are then lost.
std::unique_ptr<Operator> makeSystemOperator() {
  const char* script = std::getenv("DUZEVOD_OPERATOR");
  if (script || !desktopIsInteractive()) return makeTextOperator(script, stderrLineSink());
  return std::make_unique<WindowOperator>(moduleInstance(), makeTextOperator(nullptr, stderrLineSink()));
}

}  // namespace duz
