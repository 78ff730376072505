// Dialog units to pixels, and the choice of the dialog font.

#include <gtest/gtest.h>

#include <QFontDatabase>

#include "ui/qt/dialog_metrics.h"

namespace qttest {
namespace {

using ui::qt::BaseUnits;

TEST(DialogMetrics, MulDivRoundsHalfAwayFromZero) {
    struct Case {
        int number, numerator, denominator, expected;
    };
    const Case cases[] = {
        {408, 6, 4, 612},
        {7, 7, 4, 12},
        {1, 6, 4, 2},
        {1, 5, 4, 1},
        {3, 3, 8, 1},
        {-7, 7, 4, -12},
        {7, -7, 4, -12},
        {7, 7, -4, -12},
        {5, 0, 4, 0},
        {5, 4, 0, 0},
        {2000000, 2000, 4, 1000000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ui::qt::MulDiv(c.number, c.numerator, c.denominator), c.expected)
            << c.number << "*" << c.numerator << "/" << c.denominator;
    }
}

TEST(DialogMetrics, BaseUnitsAreTheRoundedAverageLetterAndTheLineHeight) {
    struct Case {
        int alphabetWidth, lineHeight;
        BaseUnits expected;
    };
    const Case cases[] = {
        {312, 12, {6, 12}},  // 6.0 pixels a letter
        {324, 12, {6, 12}},  // 6.23
        {338, 17, {7, 17}},  // 6.5 rounds up
        {337, 17, {6, 17}},  // 6.48
        {0, 0, {0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ui::qt::BaseUnitsFromMetrics(c.alphabetWidth, c.lineHeight), c.expected)
            << c.alphabetWidth;
    }
}

TEST(DialogMetrics, EachValueIsConvertedOnItsOwn) {
    const BaseUnits units{6, 12};
    // The start button of the main dialog and the dialog itself.
    EXPECT_EQ(ui::qt::ToPixels(ui::Rect{351, 7, 50, 16}, units), QRect(527, 11, 75, 24));
    EXPECT_EQ(ui::qt::ToPixels(408, 247, units), QSize(612, 371));
    // Odd units round on their own, so a right edge is not x + width rounded.
    EXPECT_EQ(ui::qt::ToPixels(ui::Rect{1, 1, 1, 1}, BaseUnits{7, 17}), QRect(2, 2, 2, 2));
}

TEST(DialogMetrics, TheTemplateFontWinsThenTheCjkFallbackThenTheSystemFont) {
    const QStringList withSimSun{"DejaVu Sans", "SimSun", "Noto Sans CJK SC"};
    const QStringList withNoto{"DejaVu Sans", "Noto Sans CJK SC"};
    const QStringList bare{"DejaVu Sans"};
    struct Case {
        const char* requested;
        const QStringList* installed;
        const char* expected;
    };
    const Case cases[] = {
        {"宋体", &withSimSun, "SimSun"},         {"SimSun", &withSimSun, "SimSun"},
        {"宋体", &withNoto, "Noto Sans CJK SC"}, {"dejavu sans", &withNoto, "dejavu sans"},
        {"", &withNoto, "Noto Sans CJK SC"},     {"宋体", &bare, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ui::qt::PickFontFamily(c.requested, *c.installed), QString::fromUtf8(c.expected))
            << c.requested;
    }
}

TEST(DialogMetrics, TheMainDialogFontDrawsChineseWithTheInstalledCjkFont) {
    // The CJK font comes with the build's packages; without it the captions
    // would show boxes.
    ASSERT_TRUE(QFontDatabase::families().contains("Noto Sans CJK SC"))
        << "fonts-noto-cjk is missing (scripts/bootstrap installs it)";
    ui::DialogTemplate dialogTemplate;
    dialogTemplate.fontName = "宋体";
    dialogTemplate.fontPointSize = 9;
    const QFont font = ui::qt::DialogFont(dialogTemplate);
    EXPECT_EQ(font.families().value(0), "Noto Sans CJK SC");
    EXPECT_EQ(font.pointSize(), 9);
    const BaseUnits units = ui::qt::BaseUnitsOf(font);
    EXPECT_GT(units.x, 0);
    EXPECT_GT(units.y, units.x);
}

}  // namespace
}  // namespace qttest
