#include "sim/terminal/codes_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace sim::terminal {
namespace {

TEST(TerminalCodesFile, SurvivesARestartAndForgets) {
    const auto path =
        std::filesystem::temp_directory_path() / ("terminal-codes-" + std::to_string(::getpid()));
    std::filesystem::remove(path);
    {
        CodesFile codes(path.string());
        ASSERT_EQ(codes.load(), "");  // no file yet
        ASSERT_EQ(codes.store("013912340000", "abc"), "");
        ASSERT_EQ(codes.store("00000000013912340001", "with space"), "");
        ASSERT_EQ(codes.store("013912340002", "x"), "");
        ASSERT_EQ(codes.store("013912340002", ""), "");
    }
    CodesFile again(path.string());
    ASSERT_EQ(again.load(), "");
    EXPECT_EQ(again.find("013912340000"), "abc");
    EXPECT_EQ(again.find("00000000013912340001"), "with space");
    EXPECT_FALSE(again.find("013912340002").has_value());
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp"));

    std::ofstream(path) << "013912340000\n";
    EXPECT_NE(again.load().find("without a code"), std::string::npos);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace sim::terminal
