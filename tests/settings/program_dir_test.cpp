#include "settings/program_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

TEST(ProgramDir, FolderOfTheExecutableWithItsSlash) {
    struct Row {
        std::string executable;
        std::string folder;
    };
    const Row rows[] = {
        {"/opt/vardo/bin/vardo-event-server", "/opt/vardo/bin/"},
        {"/vardo-event-server", "/"},
        {"vardo-event-server", ""},
        {"/opt/vardo dir/bin/vardo", "/opt/vardo dir/bin/"},
        {"/opt/vardo/bin/", "/opt/vardo/bin/"},
        {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(settings::moduleDirOf(row.executable), row.folder) << row.executable;
    }
}

TEST(ProgramDir, RunningProgramsFolderBeforeMain) {
    const std::string folder =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
    EXPECT_EQ(g_strModuleDir, folder);
    EXPECT_EQ(g_strConfigFile, folder + "Config.ini");
    EXPECT_EQ(g_strConfigSection, "VardoEventServer");
}

// Puts the program directory back after each case.
class ProgramDirOverride : public testing::Test {
protected:
    void TearDown() override {
        g_strModuleDir = savedDir_;
        g_strConfigFile = savedFile_;
    }

private:
    std::string savedDir_ = g_strModuleDir;
    std::string savedFile_ = g_strConfigFile;
};

TEST_F(ProgramDirOverride, HomeGetsATrailingSlashAndItsConfigFile) {
    struct Row {
        std::string home;
        std::string folder;
    };
    const std::string cwd = std::filesystem::current_path().string();
    const Row rows[] = {
        {"/srv/vardo", "/srv/vardo/"},
        {"/srv/vardo/", "/srv/vardo/"},
        {"data", cwd + "/data/"},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(SetModuleDir(row.home));
        EXPECT_EQ(g_strModuleDir, row.folder) << row.home;
        EXPECT_EQ(g_strConfigFile, row.folder + "Config.ini") << row.home;
    }
}

TEST_F(ProgramDirOverride, EmptyHomeChangesNothing) {
    const std::string before = g_strModuleDir;
    EXPECT_FALSE(SetModuleDir(""));
    EXPECT_EQ(g_strModuleDir, before);
    EXPECT_EQ(g_strConfigFile, before + "Config.ini");
}

}  // namespace
