#pragma once
// A throw-away program directory for tests: a fresh folder under $TMPDIR (or
// /tmp) that becomes g_strModuleDir for the object's lifetime, with helpers to
// write Config.ini, Language files and anything else a test needs there.
// The previous program directory comes back, and the folder goes, on
// destruction. Not for use by two threads at once (the program directory is
// process-wide).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

class TempProgramDir {
public:
    TempProgramDir();
    ~TempProgramDir();
    TempProgramDir(const TempProgramDir&) = delete;
    TempProgramDir& operator=(const TempProgramDir&) = delete;

    // The folder, ending in '/'.
    const std::string& path() const { return path_; }

    // Writes Config.ini with exactly these bytes.
    void writeConfigText(std::string_view text) const;
    // Writes Config.ini with one [VardoEventServer] section of key=value lines.
    void writeConfig(const std::vector<std::pair<std::string, std::string>>& values) const;

    // Creates Language/<name> (an empty file), e.g. addLanguageFile("zh_CN.ini").
    void addLanguageFile(std::string_view name) const;
    // Writes a file (folders created as needed) below the program directory.
    void writeFile(std::string_view relativePath, std::string_view content) const;
    // Creates a folder (and its parents) below the program directory.
    void makeDirectory(std::string_view relativePath) const;

private:
    std::string path_;
    std::string savedModuleDir_;
    std::string savedConfigFile_;
    std::string savedConfigSection_;
};

}  // namespace testsupport
