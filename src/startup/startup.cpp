// The start-up sequence: restore or search the configuration with the operator, open the port, name
// the tags, save a new search result and start polling. Runs on the thread that loads the module.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

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

// Selects the item whose position in `letters` is that of `letter`; any other letter changes nothing.
void selectLetter(ComboBox& list, std::string_view letters, char letter) {
  const auto at = letters.find(letter);
  if (letter != '\0' && at != std::string_view::npos) selectIndex(list, static_cast<int>(at));
}

// The speed a settings text starts with: the digits after a leading "baud=" up to the first blank, at
// most seven characters; 0 when the text does not start that way. Other keyword orders (possible in a
// file made by hand) leave the operator's speed list alone rather than guess.
std::uint32_t leadingBaud(std::string_view settings) {
  constexpr std::string_view kPrefix = "baud=";
  if (!settings.starts_with(kPrefix)) return 0;
  const std::string_view digits = settings.substr(kPrefix.size(), 7);
  const std::string_view number = digits.substr(0, digits.find(' '));
  std::uint32_t baud = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), baud);
  return error == std::errc{} && end == number.data() + number.size() ? baud : 0;
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

  // The speed list's items in order; another speed leaves the selection as it is.
  constexpr std::uint32_t kSpeeds[] = {9600, 19200, 57600, 115200};
  const std::uint32_t baud =
      leadingBaud({settings.portSettings, strnlen(settings.portSettings, sizeof settings.portSettings)});
  for (int i = 0; i < static_cast<int>(std::size(kSpeeds)); ++i)
    if (kSpeeds[i] == baud) selectIndex(form.CBoxSpeed, i);

  // In a text the dialog built, the parity letter stands 15 characters from the end
  // ("N data=8 stop=1"); a shorter text has no parity letter to read.
  const std::size_t length = strnlen(settings.portSettings, sizeof settings.portSettings);
  if (length >= 15) selectLetter(form.CBoxPar, "NEO", settings.portSettings[length - 15]);
  if (length >= 1) selectLetter(form.CBoxStop, "12", settings.portSettings[length - 1]);
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
