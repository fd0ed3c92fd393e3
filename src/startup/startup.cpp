// The start-up sequence: restore or search the configuration with the operator, open the port, name
// the tags, save a new search result and start polling. Runs on the thread that loads the module.
#include <cstring>
#include <memory>
#include <string>

#include "host/module.h"
#include "model/catalogue.h"
#include "model/cp1251.h"
#include "startup/config_file.h"
#include "startup/discovery.h"
#include "startup/port_setup.h"
#include "startup/registration.h"
#include "ui/dialog.h"

namespace duz {

namespace {

std::string text(std::string_view cp1251Text) {
  return std::string(cp1251Text);
}

// Selects `index` in a list when the list has that item; otherwise the selection stays.
void selectIndex(ComboBox& list, int index) {
  if (index >= 0 && index < static_cast<int>(list.items.size())) list.itemIndex = index;
}

// Preselects the dialog from a restored configuration.
void prepareDialog(Module& module, TForm2& form) {
  const Settings& settings = module.settings;
  form.Label4.text = text(cp1251("Количество устройств: ")) + std::to_string(module.currentDevice);

  // A stored port that the machine no longer lists is still offered, and selected.
  const std::string port = settings.portName;
  if (!port.empty() && !form.CBoxCOM.select(port)) form.CBoxCOM.itemIndex = form.CBoxCOM.add(port);

  // The last device's address is the search limit that found it.
  const int lastAddress = module.deviceConfig[module.currentDevice - 1].busAddress();
  if (lastAddress >= 1 && lastAddress <= kSlots) {
    selectIndex(form.CBoxNum, lastAddress - 1);
    form.ProgressBar1.max = lastAddress;
  }

  switch (baudFromSettings(settings.portSettings)) {
    case 9600:
      selectIndex(form.CBoxSpeed, 0);
      break;
    case 19200:
      selectIndex(form.CBoxSpeed, 1);
      break;
    case 57600:
      selectIndex(form.CBoxSpeed, 2);
      break;
    case 115200:
      selectIndex(form.CBoxSpeed, 3);
      break;
    default:
      break;
  }

  // In a text the dialog built, the parity letter stands 15 characters from the end
  // ("N data=8 stop=1"); a shorter text has no parity letter to read.
  const std::size_t length = strnlen(settings.portSettings, sizeof settings.portSettings);
  if (length >= 15) {
    const char parity = settings.portSettings[length - 15];
    if (parity == 'N') selectIndex(form.CBoxPar, 0);
    if (parity == 'E') selectIndex(form.CBoxPar, 1);
    if (parity == 'O') selectIndex(form.CBoxPar, 2);
  }
  if (length >= 1) {
    const char stop = settings.portSettings[length - 1];
    if (stop == '1') selectIndex(form.CBoxStop, 0);
    if (stop == '2') selectIndex(form.CBoxStop, 1);
  }
}

// After a restore or a search: the dialog shows the configuration and offers the exit button.
void showResults(Module& module, TForm2& form, bool configRestored) {
  module.configuredCount = module.currentDevice;
  form.Label2.text = configRestored ? text(cp1251("Текущая конфигурация: \n")) + module.configDescription
                                    : text(cp1251("Инициализация устройств завершена"));
  form.Label1.visible = false;
  form.ProgressBar1.visible = false;
  form.Button1.visible = true;
  form.Button1.enabled = true;
  if (module.currentDevice == 0) {
    module.platform.op.messageBox(text(cp1251("В ходе инициализации\nни одного устройства не обнаружено.")),
                                  text(cp1251("Инициализация устройств")), BoxIcon::Warning, BoxButtons::Ok,
                                  BoxAnswer::Ok);
    module.configuredCount = 0;
  }
}

}  // namespace

void Module::runStartup() {
  Operator& op = platform.op;
  const ConfigPaths paths = configPaths(platform.directory);
  auto form = std::make_unique<TForm2>(
      op, platform.ports, [this](const char* s, const char* port, const char* limit, const char* action) {
        GiveString(s, port, limit, action);
      });

  bool configRestored = false;  // the configuration in memory is the file's, and no search has run since
  bool showDialog = true;       // the next pass shows the dialog modally
  if (LoadConfiguration(*this, paths)) {
    prepareDialog(*this, *form);
    const BoxAnswer answer =
        op.messageBox(text(cp1251("Желаете просмотреть или изменить существующую конфигурацию ")),
                      text(cp1251("Предупреждение")), BoxIcon::Information, BoxButtons::YesNo, BoxAnswer::No);
    configRestored = true;
    showDialog = answer == BoxAnswer::Yes;
    showResults(*this, *form, configRestored);
  }

  for (;;) {
    if (form->visible) op.hide(*form);
    for (ComboBox* list : {&form->CBoxCOM, &form->CBoxSpeed, &form->CBoxPar, &form->CBoxStop, &form->CBoxNum})
      list->enabled = true;
    form->Button2.enabled = true;
    form->DeviceCount = currentDevice;
    form->Devices = deviceConfig;
    form->Variants = alarmVariantTable();
    if (showDialog) op.showModal(*form);

    if (OpenPort(*this) == PortResult::Retry) {
      showDialog = true;
      continue;
    }
    // Anything else, an empty word included (the dialog was never shown), keeps the configuration.
    if (std::strcmp(settings.dialogAction, "Replay") != 0) break;

    showDialog = true;
    configRestored = false;
    form->DeviceCount = 0;
    form->StringGrid1.defaultDrawing = false;
    DiscoverDevices(*this, *form);
    showResults(*this, *form, configRestored);
  }

  if (configuredCount > 0) RegisterTags(*this);
  if (currentDevice != 0 && !configRestored) SaveConfiguration(*this, paths);
  form.reset();
  pollingThread.start();
}

}  // namespace duz
