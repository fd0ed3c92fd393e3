// Where the initialisation dialog's controls sit, for window presentations: pixels at 96 dpi, a control
// inside a group box placed relative to that box. Texts and states live in the controls themselves.
#pragma once

#include <array>
#include <string_view>

namespace duz {

enum class Colour { WindowText, Blue, ButtonFace, CaptionText };

struct FontStyle {
  int height = 11;  // character height in pixels; the window font is "MS Sans Serif" 8 pt
  bool bold = false;
  Colour colour = Colour::WindowText;
};

struct ControlLayout {
  std::string_view name;    // the control's member name in TForm2
  std::string_view parent;  // empty: the window's client area
  int left, top, width, height;
  FontStyle font;
  int tabOrder;  // -1: not a tab stop; controls inside a group box follow their box
};

inline constexpr int kDialogClientWidth = 627;
inline constexpr int kDialogClientHeight = 315;
inline constexpr Colour kDialogBackground = Colour::ButtonFace;
inline constexpr Colour kDeviceListBackground = Colour::CaptionText;

inline constexpr FontStyle kPlain{};
inline constexpr FontStyle kHeadline{12, true, Colour::Blue};

inline constexpr std::array<ControlLayout, 21> kDialogLayout{{
    {"Label2", "", 4, 1, 294, 13, kHeadline, -1},
    {"Label4", "", 4, 44, 125, 13, kPlain, -1},
    {"ProgressBar1", "", 4, 64, 137, 16, kPlain, -1},
    {"Label1", "", 164, 66, 32, 13, kPlain, -1},
    {"StringGrid1", "", 5, 96, 100, 217, kPlain, 0},
    {"StringGrid2", "", 120, 96, 281, 217, kPlain, -1},
    {"GroupBox1", "", 407, 8, 113, 49, kPlain, 3},
    {"CBoxCOM", "GroupBox1", 8, 16, 65, 21, kPlain, 0},
    {"GroupBox2", "", 407, 64, 217, 105, kPlain, 4},
    {"Label8", "GroupBox2", 16, 28, 85, 13, kPlain, -1},
    {"CBoxSpeed", "GroupBox2", 112, 24, 89, 21, kPlain, 0},
    {"Label9", "GroupBox2", 16, 54, 48, 13, kPlain, -1},
    {"CBoxPar", "GroupBox2", 112, 50, 89, 21, kPlain, 1},
    {"Label10", "GroupBox2", 16, 80, 78, 13, kPlain, -1},
    {"CBoxStop", "GroupBox2", 112, 76, 89, 21, kPlain, 2},
    {"GroupBox3", "", 407, 174, 217, 59, kPlain, 5},
    {"Label11", "GroupBox3", 8, 24, 114, 13, kPlain, -1},
    {"Label12", "GroupBox3", 8, 37, 138, 13, kPlain, -1},
    {"CBoxNum", "GroupBox3", 152, 29, 49, 21, kPlain, 0},
    {"Button1", "", 530, 16, 91, 41, {11, true, Colour::Blue}, 2},
    {"Button2", "", 408, 245, 217, 65, {13, true, Colour::Blue}, 1},
}};

// The layout of a control by its member name; null when there is none.
constexpr const ControlLayout* findLayout(std::string_view name) {
  for (const ControlLayout& c : kDialogLayout)
    if (c.name == name) return &c;
  return nullptr;
}
static_assert(findLayout("CBoxNum")->parent == "GroupBox3");

}  // namespace duz
