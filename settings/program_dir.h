#pragma once
// The program directory: the folder of the running executable, where
// Config.ini, Language/, the skin folder and EventRecord/ live.
//
// Set during static initialisation, and possibly once more by main (through
// SetModuleDir) before any other thread starts; read-only afterwards. Static
// initialisers of other files must not rely on them.

#include <string>
#include <string_view>

// The executable's folder, UTF-8, ending in '/'; empty when it is unknown
// (the current directory is then used).
extern std::string g_strModuleDir;
// g_strModuleDir + "Config.ini".
extern std::string g_strConfigFile;
// "VardoEventServer", the section every setting is read from.
extern std::string g_strConfigSection;

// Makes `dir` the program directory instead of the executable's folder (for
// --home DIR or VARDO_HOME): made absolute, given a trailing '/', and
// g_strConfigFile follows. An empty `dir` changes nothing and gives false.
bool SetModuleDir(std::string_view dir);

namespace settings {

// The folder part of an executable's path, cut after its last '/' with the
// '/' kept: "/opt/vardo/bin/vardo-event-server" gives "/opt/vardo/bin/".
// Empty when the path holds no '/'.
std::string moduleDirOf(std::string_view executablePath);

// "Config.ini" in `moduleDir`.
std::string configFileIn(std::string_view moduleDir);

}  // namespace settings
