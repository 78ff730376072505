#include "ui/qt/dialog_metrics.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <cstdint>
#include <cstdlib>

namespace ui::qt {

namespace {

// Fonts known under a second name.
struct Alias {
    std::string_view name;
    std::string_view alias;
};
constexpr Alias kAliases[] = {
    {"宋体", "SimSun"},
    {"新宋体", "NSimSun"},
    {"黑体", "SimHei"},
    {"微软雅黑", "Microsoft YaHei"},
};

QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) {
        return 0;
    }
    const std::int64_t product = static_cast<std::int64_t>(number) * numerator;
    const std::int64_t half = std::llabs(denominator) / 2;
    const bool negative = (product < 0) != (denominator < 0);
    const std::int64_t magnitude = (std::llabs(product) + half) / std::llabs(denominator);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

BaseUnits BaseUnitsFromMetrics(int alphabetWidth, int lineHeight) {
    // The average of 52 letters, rounded: (width / 26 + 1) / 2.
    return BaseUnits{(alphabetWidth / 26 + 1) / 2, lineHeight};
}

BaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return BaseUnitsFromMetrics(width, metrics.height());
}

QRect ToPixels(const Rect& dialogUnits, BaseUnits units) {
    // Each value converted on its own, the size not derived from the edges,
    // so that controls of one size in the template are of one size on
    // screen wherever they stand.
    return QRect(MulDiv(dialogUnits.x, units.x, 4), MulDiv(dialogUnits.y, units.y, 8),
                 MulDiv(dialogUnits.width, units.x, 4), MulDiv(dialogUnits.height, units.y, 8));
}

QSize ToPixels(int width, int height, BaseUnits units) {
    return QSize(MulDiv(width, units.x, 4), MulDiv(height, units.y, 8));
}

QString PickFontFamily(std::string_view requested, const QStringList& installed) {
    QStringList wanted;
    if (!requested.empty()) {
        wanted << FromView(requested);
        for (const Alias& alias : kAliases) {
            if (alias.name == requested) {
                wanted << FromView(alias.alias);
            } else if (alias.alias == requested) {
                wanted << FromView(alias.name);
            }
        }
    }
    wanted << FromView(kCjkFallbackFamily);
    for (const QString& family : wanted) {
        if (installed.contains(family, Qt::CaseInsensitive)) {
            return family;
        }
    }
    return {};
}

QFont DialogFont(const DialogTemplate& dialogTemplate) {
    QFont font = QApplication::font();
    const QString family = PickFontFamily(dialogTemplate.fontName, QFontDatabase::families());
    if (!family.isEmpty()) {
        font.setFamilies({family});
    }
    if (dialogTemplate.fontPointSize > 0) {
        font.setPointSize(dialogTemplate.fontPointSize);
    }
    return font;
}

}  // namespace ui::qt
