#pragma once
// The skin bitmaps compiled into the program, by their resource ids
// (129 title strip, 130/131 button faces, 133/134/162/163 four-frame strips,
// 137 icon strip, 161 splash), and the application icon (132).
#include <QIcon>
#include <QImage>

namespace skin {
constexpr int kTitleStrip = 129;
constexpr int kButtonFace = 130;
constexpr int kButtonPressed = 131;
constexpr int kMinimizeStrip = 133;
constexpr int kExitStrip = 134;
constexpr int kIconStrip = 137;
constexpr int kSplash = 161;
constexpr int kEnglishStrip = 162;
constexpr int kRussianStrip = 163;
}  // namespace skin

// The bitmap as 24-bit RGB; a null image when there is none with that id.
QImage LoadSkinBitmap(int id);

// Icon 132 at 16, 32, 48 and 256 pixels.
QIcon ApplicationIcon();
