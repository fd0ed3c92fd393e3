// Drives the operator's dialog the way the start-up does, with the operator makeSystemOperator chooses
// (the terminal dialog when run in a terminal), so that tests can work it through tmux.
//
//   tui_driver --scenario search|stored|boxes --results FILE [--ports A:B:C] [--pause-at N --gate FILE]
//              [--step-ms MS] [--pid-file FILE]
//
// search  a first run: the dialog modally; for every "Replay" a simulated search of the bus (the dialog
//         modeless, progress repainted after every address, found devices appended to the list), the
//         results, the dialog modally again; until the dialog is left with "Abort".
// stored  a restored configuration: the question whether to review it, then (on Yes) the dialog
//         modally with the stored devices and the configuration's text in the headline.
// boxes   a Yes/No question and a Retry/Cancel question, without the dialog.
// Every close appends "settings|port|limit|action" to FILE, every box "box:<answer>"; at the end
// "done". Then the program writes a line of its own to stdout, as a host does after the load.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "model/catalogue.h"
#include "model/cp1251.h"
#include "ui/dialog.h"
#include "ui/scripted/scripted_operator.h"
#include "ui/system_operator.h"

namespace {

using namespace duz;

// The ports the dialog lists; nothing is ever opened.
class ListedPorts : public SerialPorts {
 public:
  explicit ListedPorts(std::vector<std::string> names) : names_(std::move(names)) {}
  std::unique_ptr<SerialPort> open(const std::string&) override { return nullptr; }
  std::vector<std::string> list() override { return names_; }

 private:
  std::vector<std::string> names_;
};

struct Options {
  std::string scenario = "search";
  std::string results;
  std::vector<std::string> ports{"COM1", "COM2"};
  int pauseAt = 0;
  std::string gate;
  int stepMs = 100;
  std::string pidFile;
};

std::string text(std::string_view cp1251Text) {
  return std::string(cp1251Text);
}

void setText(DeviceConfig& d, int c, const std::string& s) {
  std::memset(d.cells[c], 0, kCellSize);
  std::memcpy(d.cells[c], s.data(), std::min<std::size_t>(s.size(), kCellSize));
}

DeviceConfig device(int address, std::string_view model) {
  DeviceConfig d{};
  d.cells[cell::kBusAddress][0] = static_cast<std::uint8_t>(address);
  setText(d, cell::kModelName, std::string(model));
  return d;
}

// The instruments on the simulated bus, by address.
std::vector<DeviceConfig> bus() {
  std::vector<DeviceConfig> devices;
  DeviceConfig luma = device(2, cp1251("ЛУМА-12"));
  const int slots[8] = {1, 0, 4, 0, 0, 0, 0, 2};
  for (int s = 0; s < 8; ++s) luma.cells[cell::kSlotModule0 + s][0] = static_cast<std::uint8_t>(slots[s]);
  setText(luma, cell::kControllerVariant, "1101");
  devices.push_back(luma);

  DeviceConfig dek = device(3, cp1251("ДЕК-04"));
  setText(dek, cell::kAlarmVariant, std::string(alarmVariantTable()[1].code()));
  devices.push_back(dek);

  DeviceConfig veks = device(5, cp1251("ВЕКС-1"));
  veks.cells[cell::kAlarmType][0] = 0;
  veks.cells[cell::kSetpoint1High][0] = 0x10;  // raw 4096: the middle of the range
  veks.cells[cell::kSetpoint2High][0] = 0x04;  // raw 1024
  veks.cells[cell::kSensorType][0] = 0;
  setText(veks, cell::kRangeLow, "-50");
  setText(veks, cell::kRangeHigh, "600");
  devices.push_back(veks);

  DeviceConfig orta = device(7, cp1251("ОРТА"));
  orta.cells[cell::kSensorType][0] = 1;
  orta.cells[cell::kSetpoint1High][0] = 0x20;  // raw 8192: 50.00 %
  devices.push_back(orta);
  return devices;
}

class Driver {
 public:
  explicit Driver(Options options)
      : options_(std::move(options)), op_(makeSystemOperator()), ports_(options_.ports) {}

  int run() {
    form_ = std::make_unique<TForm2>(
        *op_, ports_, [this](const char* s, const char* p, const char* l, const char* a) {
          record(cp1251ToUtf8(s) + "|" + cp1251ToUtf8(p) + "|" + cp1251ToUtf8(l) + "|" + a);
          action_ = a;
        });
    if (options_.scenario == "boxes") {
      boxes();
    } else if (options_.scenario == "stored") {
      stored();
    } else {
      passes(true);
    }
    form_.reset();
    record("done");
    op_.reset();
    std::printf("tui_driver: the start-up is over\n");
    std::fflush(stdout);
    return 0;
  }

 private:
  void record(const std::string& line) {
    std::ofstream out(options_.results, std::ios::app);
    out << line << "\n";
  }

  void boxes() {
    BoxAnswer a = op_->messageBox(text(cp1251("Желаете просмотреть или изменить существующую конфигурацию ")),
                                  text(cp1251("Предупреждение")), BoxIcon::Information, BoxButtons::YesNo,
                                  BoxAnswer::No);
    record(std::string("box:") + answerWord(a));
    a = op_->messageBox(text(cp1251("Невозможно открыть порт COM7.\nПроверьте подключение.")),
                        text(cp1251("Ошибка")), BoxIcon::Stop, BoxButtons::RetryCancel, BoxAnswer::Retry);
    record(std::string("box:") + answerWord(a));
  }

  // The start-up's passes, with a simulated search in place of the bus.
  void passes(bool showDialog) {
    for (int pass = 0; pass < 10; ++pass) {
      if (form_->visible) op_->hide(*form_);
      for (ComboBox* list :
           {&form_->CBoxCOM, &form_->CBoxSpeed, &form_->CBoxPar, &form_->CBoxStop, &form_->CBoxNum})
        list->enabled = true;
      form_->Button2.enabled = true;
      form_->DeviceCount = static_cast<std::int32_t>(found_.size());
      form_->Devices = {};
      std::copy(found_.begin(), found_.end(), form_->Devices.begin());
      form_->Variants = alarmVariantTable();
      action_.clear();
      if (showDialog) op_->showModal(*form_);
      if (action_ != "Replay") return;
      showDialog = true;
      form_->DeviceCount = 0;
      form_->StringGrid1.defaultDrawing = false;
      search();
      results(false);
    }
  }

  // As DiscoverDevices does it, with the bus of this program.
  void search() {
    found_.clear();
    form_->StringGrid1.setRowCount(2);
    form_->StringGrid1.cell(0, 1).clear();
    form_->StringGrid1.cell(1, 1).clear();
    form_->StringGrid2.setRowCount(1);
    // assign(count, char): GCC 12 at -O3 misreads assigning a literal here as an overlapping copy.
    form_->StringGrid2.cell(0, 0).assign(1, ' ');
    form_->StringGrid2.cell(1, 0).assign(1, ' ');
    op_->showModeless(*form_);
    op_->setPointerHidden(true);
    const std::vector<DeviceConfig> devices = bus();
    const int limit = std::atoi(form_->CBoxNum.text().c_str());
    for (int address = 1; address <= limit; ++address) {
      std::this_thread::sleep_for(std::chrono::milliseconds(options_.stepMs));
      for (const DeviceConfig& d : devices) {
        if (d.busAddress() != address) continue;
        found_.push_back(d);
        const int n = static_cast<int>(found_.size());
        form_->StringGrid1.setRowCount(n + 1);
        form_->StringGrid1.cell(0, n) = std::to_string(address);
        form_->StringGrid1.cell(1, n) = std::string(d.modelName(), d.textLength(cell::kModelName));
        form_->StringGrid1.defaultDrawing = true;
      }
      form_->Label4.text = text(cp1251("Найдено устройств: ")) + std::to_string(found_.size());
      form_->ProgressBar1.stepIt();
      form_->Label1.text =
          text(cp1251("Выполнено: ")) + std::to_string(form_->ProgressBar1.position * 100 / limit) + " %";
      op_->repaint(*form_);
      if (address == options_.pauseAt && !options_.gate.empty())
        while (access(options_.gate.c_str(), F_OK) != 0)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    op_->setPointerHidden(false);
  }

  // The start-up's results step.
  void results(bool restored) {
    form_->Label2.text =
        restored ? text(cp1251("Текущая конфигурация: \n")) +
                       text(cp1251("от 7-го декабря (понедельник) 2026 года;\nсоздана в 0 чaс. 38 мин."))
                 : text(cp1251("Инициализация устройств завершена"));
    form_->Label1.visible = false;
    form_->ProgressBar1.visible = false;
    form_->Button1.visible = true;
    form_->Button1.enabled = true;
    if (found_.empty())
      op_->messageBox(text(cp1251("В ходе инициализации\nни одного устройства не обнаружено.")),
                      text(cp1251("Инициализация устройств")), BoxIcon::Warning, BoxButtons::Ok,
                      BoxAnswer::Ok);
  }

  void stored() {
    found_ = bus();
    form_->Label4.text = text(cp1251("Количество устройств: ")) + std::to_string(found_.size());
    form_->CBoxCOM.itemIndex = form_->CBoxCOM.add("COM9");
    form_->CBoxNum.itemIndex = 6;
    form_->ProgressBar1.max = 7;
    const BoxAnswer a = op_->messageBox(
        text(cp1251("Желаете просмотреть или изменить существующую конфигурацию ")),
        text(cp1251("Предупреждение")), BoxIcon::Information, BoxButtons::YesNo, BoxAnswer::No);
    record(std::string("box:") + answerWord(a));
    results(true);
    passes(a == BoxAnswer::Yes);
  }

  Options options_;
  std::unique_ptr<Operator> op_;
  ListedPorts ports_;
  std::unique_ptr<TForm2> form_;
  std::vector<DeviceConfig> found_;
  std::string action_;
};

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = s.find(sep, start);
    out.push_back(s.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--scenario") {
      options.scenario = value;
    } else if (name == "--results") {
      options.results = value;
    } else if (name == "--ports") {
      options.ports.clear();
      for (const std::string& p : split(value, ':'))
        if (!p.empty()) options.ports.push_back(utf8ToCp1251(p));
    } else if (name == "--pause-at") {
      options.pauseAt = std::atoi(value.c_str());
    } else if (name == "--gate") {
      options.gate = value;
    } else if (name == "--step-ms") {
      options.stepMs = std::atoi(value.c_str());
    } else if (name == "--pid-file") {
      options.pidFile = value;
    } else {
      std::fprintf(stderr, "tui_driver: unknown option %s\n", name.c_str());
      return 2;
    }
  }
  if (options.results.empty()) {
    std::fprintf(stderr, "tui_driver: --results FILE is needed\n");
    return 2;
  }
  if (!options.pidFile.empty()) std::ofstream(options.pidFile) << getpid() << "\n";
  return Driver(std::move(options)).run();
}
