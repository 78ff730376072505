#include "settings/program_dir.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace settings {
namespace {

std::string runningProgramDir() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    return moduleDirOf(executable.string());
}

}  // namespace

std::string moduleDirOf(std::string_view executablePath) {
    const auto slash = executablePath.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    return std::string(executablePath.substr(0, slash + 1));
}

std::string configFileIn(std::string_view moduleDir) {
    return std::string(moduleDir) + "Config.ini";
}

}  // namespace settings

// Defined in this order in one file, so each is ready before the next uses it.
std::string g_strModuleDir = settings::runningProgramDir();
std::string g_strConfigFile = settings::configFileIn(g_strModuleDir);
std::string g_strConfigSection = "VardoEventServer";

bool SetModuleDir(std::string_view dir) {
    if (dir.empty()) {
        return false;
    }
    std::error_code error;
    auto absolute = std::filesystem::absolute(std::filesystem::path(dir), error);
    std::string result = error ? std::string(dir) : absolute.string();
    if (result.back() != '/') {
        result += '/';
    }
    g_strModuleDir = std::move(result);
    g_strConfigFile = settings::configFileIn(g_strModuleDir);
    return true;
}
