#include "startup/port_setup.h"

#include <string>

#include "host/module.h"
#include "model/cp1251.h"

namespace duz {

namespace {

// Both port questions are Retry/Cancel boxes with the stop icon. Cancel is the default so that a start
// without an operator (no terminal, no script) goes on instead of cycling through the dialog forever.
BoxAnswer askOperator(Module& module, const std::string& text, std::string_view caption) {
  return module.platform.op.messageBox(text, std::string(caption), BoxIcon::Stop, BoxButtons::RetryCancel,
                                       BoxAnswer::Cancel);
}

}  // namespace

PortResult OpenPort(Module& module) {
  Link& link = module.link;
  const std::string portName = module.settings.portName;

  // A port still held from an earlier pass would make our own exclusive open fail.
  link.installPort(nullptr);
  link.installPort(module.platform.ports.open(portName));
  if (!link.port) {
    const std::string text = std::string(cp1251("Ошибка открытия порта ").view()) + portName +
                             std::string(cp1251("\nВозможно, порт занят другой программой. \n"
                                                "Закройте программу и повторите настройку параметров.")
                                             .view());
    if (askOperator(module, text, cp1251("Ошибка открытия COM-порта")) == BoxAnswer::Retry)
      return PortResult::Retry;
  }

  // Without a port the line cannot be set either: the second question follows the first.
  link.setBaud(baudFromSettings(module.settings.portSettings));
  const bool lineSet = link.port && link.port->configure(module.settings.portSettings);
  if (!lineSet) {
    const std::string text =
        std::string(cp1251("Ошибка настройки параметров порта ").view()) + portName +
        std::string(cp1251("\nЖелаете продолжить (Отмена) или изменить параметры (Повтор)").view());
    if (askOperator(module, text, cp1251("Ошибка настройки параметров COM-порта")) == BoxAnswer::Retry) {
      link.installPort(nullptr);
      return PortResult::Retry;
    }
  }

  if (link.port) link.port->setTimeouts(kPortTimeouts);
  // A port that could not be opened at all is looked for once a cycle; when it comes, nobody is there
  // to be asked, so it must take its settings.
  link.setup = {portName, module.settings.portSettings, lineSet || !link.port};
  if (!link.port) link.awaitPort();
  return PortResult::Proceed;
}

}  // namespace duz
