#include "testsupport/config/temp_program_dir.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "settings/program_dir.h"

namespace testsupport {

TempProgramDir::TempProgramDir()
    : savedModuleDir_(g_strModuleDir),
      savedConfigFile_(g_strConfigFile),
      savedConfigSection_(g_strConfigSection) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vardo-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern + "/";
    SetModuleDir(path_);
}

TempProgramDir::~TempProgramDir() {
    g_strModuleDir = savedModuleDir_;
    g_strConfigFile = savedConfigFile_;
    g_strConfigSection = savedConfigSection_;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempProgramDir::writeConfigText(std::string_view text) const {
    writeFile("Config.ini", text);
}

void TempProgramDir::writeConfig(
    const std::vector<std::pair<std::string, std::string>>& values) const {
    std::string text = "[VardoEventServer]\n";
    for (const auto& [key, value] : values) {
        text += key + "=" + value + "\n";
    }
    writeConfigText(text);
}

void TempProgramDir::addLanguageFile(std::string_view name) const {
    writeFile("Language/" + std::string(name), "");
}

void TempProgramDir::writeFile(std::string_view relativePath, std::string_view content) const {
    const std::filesystem::path file = path_ + std::string(relativePath);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void TempProgramDir::makeDirectory(std::string_view relativePath) const {
    std::filesystem::create_directories(path_ + std::string(relativePath));
}

}  // namespace testsupport
