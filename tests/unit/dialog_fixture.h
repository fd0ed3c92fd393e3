// A dialog on fake ports that records what it hands over at each close.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fakes.h"
#include "model/cp1251.h"
#include "ui/dialog.h"

namespace duz::test {

inline std::string cp(const char* utf8) {
  return utf8ToCp1251(utf8);
}

inline DeviceConfig makeDevice(int address, const char* modelUtf8) {
  DeviceConfig device{};
  device.cells[cell::kBusAddress][0] = static_cast<std::uint8_t>(address);
  const std::string model = cp(modelUtf8);
  std::memcpy(device.text(cell::kModelName), model.data(), std::min<std::size_t>(model.size(), kCellSize));
  return device;
}

inline void setCellText(DeviceConfig& device, int c, const std::string& text) {
  std::memset(device.cells[c], 0, kCellSize);
  std::memcpy(device.cells[c], text.data(), std::min<std::size_t>(text.size(), kCellSize));
}

struct Handed {
  std::string settings, port, limit, action;
};

class DialogTest : public ::testing::Test {
 protected:
  TForm2& make(std::vector<std::string> listed = {"COM1"}) {
    ports.listed = std::move(listed);
    form = std::make_unique<TForm2>(op, ports,
                                    [this](const char* s, const char* p, const char* l, const char* a) {
                                      handed.push_back({s, p, l, a});
                                    });
    return *form;
  }
  void setDevices(const std::vector<DeviceConfig>& devices) {
    form->DeviceCount = static_cast<std::int32_t>(devices.size());
    std::copy(devices.begin(), devices.end(), form->Devices.begin());
  }
  // Column texts of the description grid, row by row, as UTF-8 "left|right".
  std::vector<std::string> description() const {
    std::vector<std::string> rows;
    const StringGrid& grid = form->StringGrid2;
    for (int r = 0; r < grid.rowCount; ++r)
      rows.push_back(cp1251ToUtf8(grid.cell(0, r)) + "|" + cp1251ToUtf8(grid.cell(1, r)));
    return rows;
  }

  FakeClock clock;
  FakeSerialPorts ports{clock};
  FakeOperator op;
  std::vector<Handed> handed;
  std::unique_ptr<TForm2> form;
};

}  // namespace duz::test
