#pragma once
// The operator's settings: reading one from Config.ini.

#include <string>
#include <string_view>

// Reads `key` from section g_strConfigSection of g_strConfigFile, cut to 259
// characters. A missing file, section or key, or an empty value, gives
// `defaultValue`. The file is read on every call and never written.
std::string ReadConfigString(std::string_view key, std::string_view defaultValue = {});

// What is wrong with Config.ini as a whole, said as the line an operator
// reads: "no Config.ini in DIR: using the defaults" when the file is missing
// (or cannot be read), or the same for a file without the program's section.
// Empty when the file has the section.
std::string ConfigFileProblem();
