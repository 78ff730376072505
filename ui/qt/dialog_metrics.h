#pragma once
// How a dialog template becomes pixels: the dialog font, its base units (the
// average width of a letter and the height of a line) and the conversion of
// dialog units with them. A horizontal dialog unit is a quarter of the
// average letter width, a vertical one an eighth of the line height, so a
// template keeps its proportions to the text whatever font draws it.

#include <QFont>
#include <QRect>
#include <QSize>
#include <QStringList>
#include <string_view>

#include "ui/dialog_template.h"

namespace ui::qt {

struct BaseUnits {
    int x = 0;  // average letter width, pixels
    int y = 0;  // line height, pixels

    friend bool operator==(const BaseUnits&, const BaseUnits&) = default;
};

// number * numerator / denominator, rounded half away from zero; 0 for a zero
// denominator.
int MulDiv(int number, int numerator, int denominator);

// From the width of the 52 letters A-Z a-z in one run and the line height.
BaseUnits BaseUnitsFromMetrics(int alphabetWidth, int lineHeight);
BaseUnits BaseUnitsOf(const QFont& font);

QRect ToPixels(const Rect& dialogUnits, BaseUnits units);
QSize ToPixels(int width, int height, BaseUnits units);

// The CJK font the dialogs use when the template's own font is missing.
inline constexpr std::string_view kCjkFallbackFamily = "Noto Sans CJK SC";

// The family to draw a template's text with: its own font when installed
// (under its Chinese or its Latin name), else the CJK fallback; empty when
// neither is installed and the system font has to do.
QString PickFontFamily(std::string_view requested, const QStringList& installed);

// The dialog font of a template, from the fonts installed in this process.
QFont DialogFont(const DialogTemplate& dialogTemplate);

}  // namespace ui::qt
