#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fakes.h"
#include "model/catalogue.h"
#include "model/cp1251.h"
#include "startup/discovery.h"
#include "ui/dialog.h"

namespace duz::test {
namespace {

std::string cellText(const DeviceConfig& record, int c) {
  return std::string(record.text(c), record.textLength(c));
}

// A bus of fake instruments: identification data and parameter data by address.
class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<TForm2>(world.op, world.ports,
                                    [this](const char* s, const char* p, const char* l, const char* a) {
                                      module.GiveString(s, p, l, a);
                                    });
    world.ports.responder = [this](const Bytes& request) -> Bytes {
      requests.push_back(request);
      pointerHiddenDuringSearch = world.op.pointerHidden;
      const int address = request[0];
      const auto& table = request[1] == 0x11 ? ident : params;
      const auto found = table.find(address);
      if (found == table.end()) return {};
      Bytes reply{static_cast<std::uint8_t>(address), request[1],
                  static_cast<std::uint8_t>(found->second.size())};
      reply.insert(reply.end(), found->second.begin(), found->second.end());
      return withCrc(reply);
    };
  }

  void search(const char* limit) {
    copyField(module.settings.searchLimitText, limit);
    module.link.port = world.ports.open("COM1");
    module.link.port->setTimeouts({100, 2, 500});
    DiscoverDevices(module, *form);
  }

  // Parameter data whose 5th..11th bytes are alarm type, setpoints, sensor type and range index.
  static Bytes parameters(std::uint8_t sensorType, std::uint8_t rangeIndex) {
    return {0, 0, 0, 0, 2, 0x10, 0x20, 0x30, 0x40, sensorType, rangeIndex};
  }

  std::vector<int> probedAddresses() const {
    std::vector<int> out;
    for (const auto& r : requests)
      if (r[1] == 0x11 && (out.empty() || out.back() != r[0])) out.push_back(r[0]);
    return out;
  }

  FakeWorld world;
  Module module{world.platform()};
  std::unique_ptr<TForm2> form;
  std::map<int, Bytes> ident, params;
  std::vector<Bytes> requests;
  bool pointerHiddenDuringSearch = false;
};

TEST_F(Discovery, ProbesAddressesOneToTheLimitAndNoFurther) {
  ident[1] = {5, 5, 0};
  ident[2] = {5, 5, 0};
  search("1");
  EXPECT_EQ(probedAddresses(), std::vector<int>{1});
  EXPECT_EQ(module.currentDevice, 1);

  requests.clear();
  ident[31] = {5, 5, 0};
  search("31");
  std::vector<int> all;
  for (int a = 1; a <= 31; ++a) all.push_back(a);
  EXPECT_EQ(probedAddresses(), all);
  EXPECT_EQ(module.currentDevice, 3);
  EXPECT_EQ(module.configuredCount, 3);
}

TEST_F(Discovery, LimitTextIsReadSafely) {
  EXPECT_EQ(searchLimit(""), 0);
  EXPECT_EQ(searchLimit("ab"), 0);
  EXPECT_EQ(searchLimit("-3"), 0);
  EXPECT_EQ(searchLimit("7"), 7);
  EXPECT_EQ(searchLimit("31"), 31);
  EXPECT_EQ(searchLimit("99"), 31);
  const char unterminated[3] = {'1', '2', '3'};
  EXPECT_EQ(searchLimit(unterminated), 31);

  search("x");
  EXPECT_TRUE(requests.empty());
  EXPECT_EQ(module.link.port, nullptr);
}

TEST_F(Discovery, SilentAddressCostsFiveAttempts) {
  search("1");
  EXPECT_EQ(requests.size(), 5u);
  EXPECT_EQ(world.clock.sleeps(), (std::vector<std::uint32_t>{10, 500, 500, 500, 500, 500}));
  // Still counted as probed: the progress advances.
  EXPECT_EQ(form->ProgressBar1.position, 1);
  EXPECT_EQ(form->Label4.text, utf8ToCp1251("Найдено устройств: 0"));
  EXPECT_EQ(form->Label1.text, utf8ToCp1251("Выполнено: 100 %"));
  EXPECT_EQ(module.currentDevice, 0);
}

TEST_F(Discovery, ControllerGetsItsSlotsAndVariantCode) {
  ident[4] = {1, 1, 0, 0, 2, 0, 0, 3};  // types 1, 1, 2, 3 in slots 1, 2, 5, 8
  std::memset(module.deviceConfig[0].cells, 0x5A, sizeof module.deviceConfig[0].cells);
  search("4");
  ASSERT_EQ(module.currentDevice, 1);
  const DeviceConfig& r = module.deviceConfig[0];
  EXPECT_EQ(r.busAddress(), 4);
  EXPECT_EQ(cellText(r, cell::kModelName), kModelController.view());
  EXPECT_EQ(cellText(r, cell::kControllerVariant), "2110");
  const std::uint8_t slots[8] = {1, 1, 0, 0, 2, 0, 0, 3};
  for (int s = 0; s < 8; ++s) EXPECT_EQ(r.byte0(cell::kSlotModule0 + s), slots[s]);
  EXPECT_EQ(r.byte0(cell::kRangeLow), 0);
  EXPECT_EQ(r.byte0(cell::kRangeHigh), 0);
  EXPECT_EQ(r.cells[cell::kRangeLow][1], 0x5A);  // only byte 0 of those cells is written
}

TEST_F(Discovery, AlarmInstrumentVariantCodeIsTwoTwoDigitNumbers) {
  ident[1] = {7, 3, 0};
  ident[2] = {13, 5, 0};
  ident[3] = {100, 5, 0};  // no variant code can hold a byte above 99: left out
  search("3");
  ASSERT_EQ(module.currentDevice, 2);
  EXPECT_EQ(cellText(module.deviceConfig[0], cell::kModelName), kModelAlarm.view());
  EXPECT_EQ(cellText(module.deviceConfig[0], cell::kAlarmVariant), "0703");
  EXPECT_EQ(cellText(module.deviceConfig[1], cell::kAlarmVariant), "1305");
  EXPECT_EQ(module.deviceConfig[1].byte0(cell::kIdentBytes1), 13);
  EXPECT_EQ(module.deviceConfig[1].byte0(cell::kIdentBytes1 + 2), 0);
  for (int c = 6; c <= 12; ++c) EXPECT_EQ(module.deviceConfig[1].byte0(c), 0);
  EXPECT_EQ(form->ProgressBar1.position, 2);
}

TEST_F(Discovery, TransducersAreAcceptedOnlyWithACatalogueRange) {
  ident[1] = {1, 2, 101};
  params[1] = parameters(3, 4);  // Ni 100, range 4: -50 .. 180
  ident[2] = {1, 2, 101};
  params[2] = parameters(3, 11);  // beyond Ni 100's last range
  ident[3] = {1, 2, 102};
  params[3] = parameters(10, 0);  // no such thermocouple type
  ident[4] = {1, 2, 102};
  params[4] = {0, 0, 0, 0, 2, 0, 0, 0, 0, 2};  // ten data bytes: no range index
  ident[5] = {1, 2, 102};                      // answers no parameter request
  ident[6] = {1, 2, 102};
  params[6] = parameters(2, 13);  // K, range 13: 300 .. 450
  ident[7] = {9, 8, 100};
  params[7] = parameters(1, 0);
  std::memset(module.deviceConfig[3].cells, 0x5A, sizeof module.deviceConfig[3].cells);
  search("7");

  ASSERT_EQ(module.currentDevice, 3);
  const DeviceConfig& rtd = module.deviceConfig[0];
  EXPECT_EQ(rtd.busAddress(), 1);
  EXPECT_EQ(cellText(rtd, cell::kModelName), kModelResistance.view());
  EXPECT_EQ(cellText(rtd, cell::kRangeLow), "-50");
  EXPECT_EQ(cellText(rtd, cell::kRangeHigh), "180");
  EXPECT_EQ(rtd.byte0(cell::kIdentBytes1 + 2), 101);
  EXPECT_EQ(rtd.byte0(cell::kAlarmType), 2);
  EXPECT_EQ(rtd.byte0(cell::kSetpoint2Low), 0x10);
  EXPECT_EQ(rtd.byte0(cell::kSetpoint1High), 0x40);
  EXPECT_EQ(rtd.byte0(cell::kSensorType), 3);

  const DeviceConfig& tc = module.deviceConfig[1];
  EXPECT_EQ(tc.busAddress(), 6);
  EXPECT_EQ(cellText(tc, cell::kModelName), kModelThermocouple.view());
  EXPECT_EQ(cellText(tc, cell::kRangeLow), "300");
  EXPECT_EQ(cellText(tc, cell::kRangeHigh), "450");

  const DeviceConfig& loop = module.deviceConfig[2];
  EXPECT_EQ(loop.busAddress(), 7);
  EXPECT_EQ(cellText(loop, cell::kModelName), kModelCurrentLoop.view());
  EXPECT_EQ(loop.byte0(cell::kSensorType), 1);

  // Left-out devices leave no trace: the next free record is as it was, and the bar skipped them.
  EXPECT_EQ(module.deviceConfig[3].cells[0][0], 0x5A);
  EXPECT_EQ(form->ProgressBar1.position, 3);
  EXPECT_EQ(form->StringGrid1.rowCount, 4);
}

TEST_F(Discovery, UnknownInstrumentIsListedWithoutModelName) {
  ident[9] = {1, 2, 55};
  std::memcpy(module.deviceConfig[0].text(cell::kModelName), "XYZ", 4);
  search("9");
  ASSERT_EQ(module.currentDevice, 1);
  EXPECT_EQ(module.deviceConfig[0].busAddress(), 9);
  EXPECT_EQ(cellText(module.deviceConfig[0], cell::kModelName), "");
  EXPECT_EQ(module.deviceConfig[0].byte0(cell::kIdentBytes1 + 2), 55);
  EXPECT_EQ(form->StringGrid1.cell(0, 1), "9");
  EXPECT_EQ(form->StringGrid1.cell(1, 1), "");
}

TEST_F(Discovery, ShowsDevicesInAddressOrderAndTheProgress) {
  ident[3] = {7, 3, 0};
  ident[6] = {1, 0, 0, 0, 0, 0, 0, 0};
  ident[5] = {0, 1};  // an unrecognised reply: no progress step for it
  form->StringGrid1.setRowCount(5);
  form->StringGrid1.cell(0, 4) = "old";
  form->ProgressBar1.max = 7;
  search("7");

  EXPECT_EQ(world.op.modelessShowings, 1);
  EXPECT_TRUE(pointerHiddenDuringSearch);
  EXPECT_FALSE(world.op.pointerHidden);
  EXPECT_EQ(module.link.port, nullptr);
  EXPECT_EQ(world.op.repaints, 6);
  EXPECT_TRUE(form->StringGrid1.defaultDrawing);
  ASSERT_EQ(form->StringGrid1.rowCount, 3);
  EXPECT_EQ(form->StringGrid1.cell(0, 1), "3");
  EXPECT_EQ(form->StringGrid1.cell(1, 1), kModelAlarm.view());
  EXPECT_EQ(form->StringGrid1.cell(0, 2), "6");
  EXPECT_EQ(form->StringGrid1.cell(1, 2), kModelController.view());
  EXPECT_EQ(form->StringGrid2.rowCount, 1);
  EXPECT_EQ(form->Label4.text, utf8ToCp1251("Найдено устройств: 2"));
  EXPECT_EQ(form->ProgressBar1.position, 6);
  EXPECT_EQ(form->Label1.text, utf8ToCp1251("Выполнено: 85 %"));
  EXPECT_TRUE(world.op.boxes.empty());
}

}  // namespace
}  // namespace duz::test
