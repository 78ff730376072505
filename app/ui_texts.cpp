#include "app/ui_texts.h"

#include "settings/ini_reader.h"

namespace app {

namespace {

constexpr std::string_view kSection = "Language";

}  // namespace

bool UiTexts::Load(const std::string& path) {
    content_.clear();
    std::optional<std::string> text = settings::readIniText(path);
    if (!text) {
        return false;
    }
    content_ = std::move(*text);
    return true;
}

std::string UiTexts::Get(std::string_view key, std::string_view builtin) const {
    if (content_.empty()) {
        return std::string(builtin);
    }
    std::optional<std::string> value = settings::findIniValue(content_, kSection, key);
    if (!value || value->empty()) {
        return std::string(builtin);
    }
    return std::move(*value);
}

UiTexts& UiTexts::Current() {
    static UiTexts texts;
    return texts;
}

std::string Tr(std::string_view key, std::string_view builtin) {
    return UiTexts::Current().Get(key, builtin);
}

std::string FillText(std::string pattern, std::initializer_list<std::string> values) {
    std::size_t from = 0;
    for (const std::string& value : values) {
        const std::size_t at = pattern.find("{}", from);
        if (at == std::string::npos) {
            break;
        }
        pattern.replace(at, 2, value);
        from = at + value.size();
    }
    return pattern;
}

}  // namespace app
