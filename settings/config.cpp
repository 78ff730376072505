#include "settings/config.h"

#include <cstddef>
#include <optional>
#include <utility>

#include "settings/ini_reader.h"
#include "settings/program_dir.h"

namespace {

// A longer value is taken cut to its first 259 characters.
constexpr std::size_t kMaxValueCharacters = 259;

}  // namespace

std::string ReadConfigString(std::string_view key, std::string_view defaultValue) {
    auto value = settings::readIniValue(g_strConfigFile, g_strConfigSection, key);
    if (!value || value->empty()) {
        return std::string(defaultValue);
    }
    return settings::cutToCharacters(std::move(*value), kMaxValueCharacters);
}

std::string ConfigFileProblem() {
    const std::string dir = g_strModuleDir.empty() ? "." : g_strModuleDir;
    const std::optional<std::string> content = settings::readIniText(g_strConfigFile);
    if (!content) {
        return "no Config.ini in " + dir + ": using the defaults";
    }
    if (!settings::hasIniSection(*content, g_strConfigSection)) {
        return "Config.ini in " + dir + " has no [" + g_strConfigSection +
               "] section: using the defaults";
    }
    return {};
}
