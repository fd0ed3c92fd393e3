// The configuration tool's text format: what a written configuration becomes, byte for byte, and how
// mistakes are reported.
#include <gtest/gtest.h>

#include <sstream>

#include "conf_show.h"
#include "conf_text.h"
#include "model/config_values.h"
#include "model/cp1251.h"

namespace duz::test {
namespace {

using conf::ConfigText;

bool parse(const std::string& text, ConfigText& out, std::string& error) {
  std::istringstream in(text);
  return conf::parseConfigText(in, "plant.txt", out, error);
}

std::vector<int> bytes0(const DeviceConfig& d, int from, int to) {
  std::vector<int> out;
  for (int c = from; c <= to; ++c) out.push_back(d.byte0(c));
  return out;
}

std::string cellText(const DeviceConfig& d, int c) {
  return std::string(d.text(c), d.textLength(c));
}

TEST(ConfText, WritesEachModelAsTheSearchWouldRecordIt) {
  ConfigText t;
  std::string error;
  ASSERT_TRUE(parse(R"(
port COM2
device 5 ORTA            # listed first, stored by address
  conversion linear
  alarm Max/Max
  setpoint1 80%
  setpoint2 "95 %"
device 3 VEKS-1
  sensor 2
  range -50 200
  setpoint1 150C
  setpoint2 "-20 °C"
  ident 1 0
device 1 LUMA-12
  modules BRUN 0 GELT 0 0 ZALS 0 0
device 2 DEK-04
  variant 9852
)",
                    t, error))
      << error;
  const ConfigContents& c = t.contents;
  ASSERT_EQ(c.count, 4);
  EXPECT_EQ(c.portName, "COM2");
  EXPECT_EQ(c.portSettings, "baud=9600 parity=N data=8 stop=2");  // the dialog's defaults
  EXPECT_FALSE(t.descriptionGiven);

  const DeviceConfig& luma = c.records[0];
  EXPECT_EQ(luma.busAddress(), 1);
  EXPECT_EQ(std::string(luma.modelName()), utf8ToCp1251("ЛУМА-12"));
  EXPECT_EQ(bytes0(luma, 2, 9), (std::vector<int>{1, 0, 2, 0, 0, 4, 0, 0}));
  EXPECT_EQ(cellText(luma, 10), "1101");

  const DeviceConfig& dek = c.records[1];
  EXPECT_EQ(std::string(dek.modelName()), utf8ToCp1251("ДЕК-04"));
  EXPECT_EQ(bytes0(dek, 2, 4), (std::vector<int>{98, 52, 0}));
  EXPECT_EQ(cellText(dek, 5), "9852");

  // Range -50..200 is index 0 of type K; 150 °C is raw 6554, -20 °C raw 983.
  const DeviceConfig& veks = c.records[2];
  EXPECT_EQ(bytes0(veks, 2, 10),
            (std::vector<int>{1, 0, 102, 0, 983 & 0xFF, 983 >> 8, 6554 & 0xFF, 6554 >> 8, 2}));
  EXPECT_EQ(cellText(veks, 11), "-50");
  EXPECT_EQ(cellText(veks, 12), "200");
  EXPECT_EQ(transducerSetpoint(veks, cell::kSetpoint1High, cell::kSetpoint1Low), "150");
  EXPECT_EQ(transducerSetpoint(veks, cell::kSetpoint2High, cell::kSetpoint2Low), "-20");

  const DeviceConfig& orta = c.records[3];
  EXPECT_EQ(orta.busAddress(), 5);
  EXPECT_EQ(bytes0(orta, 2, 12),
            (std::vector<int>{0, 0, 100, 2, 15564 & 0xFF, 15564 >> 8, 13106 & 0xFF, 13106 >> 8, 1, 0, 0}));
  EXPECT_EQ(currentLoopSetpoint(orta, cell::kSetpoint1High, cell::kSetpoint1Low), "80.00");

  // Every byte the search leaves alone stays zero.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dek.cells[6]), 8), std::string(8, '\0'));
}

// As a Windows editor saves it: a byte-order mark and CR LF line ends.
TEST(ConfText, TakesCyrillicNamesSettingsTextsAndDescriptionLines) {
  ConfigText t;
  std::string error;
  ASSERT_TRUE(
      parse("\xEF\xBB\xBFsettings \"baud=38400 parity=E data=8 stop=1\"\r\nport /dev/ttyUSB0\n"
            "description \"Пусковая наладка\"\ndescription \"цех 2\"\n"
            "device 7 ВЕКС-2\n  sensor \"Pt 100\"\n  range 29\n  setpoint1 0x1000\n",
            t, error))
      << error;
  EXPECT_EQ(t.contents.portSettings, "baud=38400 parity=E data=8 stop=1");
  EXPECT_TRUE(t.descriptionGiven);
  EXPECT_EQ(t.contents.description, utf8ToCp1251("Пусковая наладка\nцех 2"));
  const DeviceConfig& d = t.contents.records[0];
  EXPECT_EQ(std::string(d.modelName()), utf8ToCp1251("ВЕКС-2"));
  EXPECT_EQ(d.byte0(cell::kSensorType), 2);
  EXPECT_EQ(cellText(d, 11), "0");  // range 29 of Pt 100: 0 .. 50
  EXPECT_EQ(cellText(d, 12), "50");
  EXPECT_EQ(d.byte0(cell::kSetpoint1High), 0x10);

  // The description of what was made names every field in words.
  const std::string shown = conf::describeConfig(t.contents);
  for (const char* part : {"Port:         /dev/ttyUSB0", "Settings:     baud=38400 parity=E",
                           "Description:  Пусковая наладка\n              цех 2",
                           "address 7, ВЕКС-2 (VEKS-2)", "Sensor type:        Pt 100 (2)",
                           "Range:              0 .. 50 °C", "Setpoint 1:         25 °C (raw 4096)"})
    EXPECT_NE(shown.find(part), std::string::npos) << part << "\n" << shown;
}

TEST(ConfText, MistakesNameTheirLine) {
  const std::string port = "port COM1\n";
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"device 1 LUMA-12\n", "plant.txt:1: no port line"},
      {port, "plant.txt:1: no device line"},
      {port + "device 32 ORTA\n", "plant.txt:2: a bus address is a number from 1 to 31"},
      {port + "device 1 LUMA12\n", "plant.txt:2: unknown model 'LUMA12'"},
      {port + "device 1 ORTA\n conversion 1\ndevice 1 DEK-04\n", "plant.txt:4: address 1 is already taken"},
      {port + "sensor 2\n", "plant.txt:2: 'sensor' before the first device line"},
      {port + "device 1 DEK-04\n variant 1234\n",
       "plant.txt:3: '1234' is no variant of the DEK-04 (9852, 9107"},
      {port + "device 1 DEK-04\n", "plant.txt:2: the DEK-04 at address 1 (line 2) needs its variant line"},
      {port + "device 1 DEK-04\n sensor 2\n", "plant.txt:3: 'sensor' is no setting of a DEK-04 (variant)"},
      {port + "device 1 LUMA-12\n modules 1 2 3\n", "plant.txt:3: usage: modules"},
      {port + "device 1 LUMA-12\n modules 1 0 0 0 0 0 0 9\n", "plant.txt:3: module 8: '9' is no module type"},
      {port + "device 3 VEKS-1\n sensor 10\n range 0\n",
       "plant.txt:3: '10' is no sensor type of the VEKS-1 (0 ТХК (L)"},
      {port + "device 3 VEKS-1\n sensor 4\n range 6\n",
       "plant.txt:4: no such range for sensor type 4 of the VEKS-1 (0: -120 30"},
      {port + "device 3 VEKS-1\n sensor 2\n range 1 2\n", "plant.txt:4: no such range"},
      {port + "device 3 VEKS-1\n range 0\n",
       "plant.txt:2: the VEKS-1 at address 3 (line 2) needs its sensor line"},
      {port + "device 3 VEKS-1\n sensor 2\n sensor 3\n",
       "plant.txt:4: sensor is given twice for this device (first on line 3)"},
      {port + "device 3 VEKS-1\n sensor 2\n range 0\n setpoint1 5%\n",
       "plant.txt:5: a setpoint of the VEKS-1 is raw or in degrees"},
      {port + "device 3 VEKS-1\n sensor 2\n range 0\n setpoint1 5000C\n",
       "plant.txt:5: '5000C' lies too far outside the range -50 .. 200"},
      {port + "device 5 ORTA\n conversion 1\n setpoint1 -1\n", "plant.txt:4: '-1' is no setpoint"},
      {port + "device 5 ORTA\n setpoint2 12C\n", "plant.txt:3: a setpoint of the ORTA is raw or in percent"},
      {port + "device 5 ORTA\n", "needs its conversion line"},
      {port + "speed 38400\n", "plant.txt:2: the speed is 9600, 19200, 57600 or 115200"},
      {port + "speed 9600\nsettings \"baud=9600\"\n", "plant.txt:3: the line settings are given twice"},
      {port + "port COM2\n", "plant.txt:2: the port is given twice"},
      {"port \"\"\n", "plant.txt:1: a port name is 1 to 127 characters"},
      {port + "description \"日本\"\n", "plant.txt:2: the description holds a character that code page 1251"},
      {port + "description \"" + std::string(256, 'x') + "\"\n",
       "plant.txt:2: the description is longer than 255"},
      {port + "device 1 LUMA-12\nport COM2\n", "plant.txt:3: 'port' belongs before the first device line"},
      {port + "device 1 DEK-04\n variant \"9852\n", "plant.txt:3: a quoted text is not closed"},
  };
  for (const auto& c : cases) {
    ConfigText t;
    std::string error;
    EXPECT_FALSE(parse(c.text, t, error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << error << "\nwanted: " << c.message;
  }
}

}  // namespace
}  // namespace duz::test
