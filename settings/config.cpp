#include "settings/config.h"

#include <cstddef>
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
