// Opens of a file by anyone reach the center once each time it rearms, and
// follow the file when it is replaced by a rename.

#include "center/file_open_watch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace center {
namespace {

using namespace std::chrono_literals;

class FileOpenWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-open-watch-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/list";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write(const std::string& text) {
        std::ofstream(path_ + ".tmp") << text;
        ASSERT_EQ(std::rename((path_ + ".tmp").c_str(), path_.c_str()), 0);
    }
    static void open(const std::string& path) {
        std::ifstream in(path);
        std::string line;
        std::getline(in, line);
    }

    std::string dir_;
    std::string path_;
    asio::io_context io_;
};

TEST_F(FileOpenWatchTest, OneOpenIsToldOnceUntilTheReplacedFileIsWatchedAgain) {
    int opens = 0;
    FileOpenWatch watch(io_, path_, [&] { ++opens; });
    EXPECT_FALSE(watch.rearm());  // no file yet
    write("first");
    ASSERT_TRUE(watch.rearm());
    io_.run_for(50ms);
    EXPECT_EQ(opens, 0);  // writing beside and renaming is no open of it

    // Opened three times before it is replaced: one event.
    open(path_);
    open(path_);
    open(path_);
    io_.run_for(200ms);
    EXPECT_EQ(opens, 1);

    // Replaced: the new file is not watched until rearmed.
    write("second");
    open(path_);
    io_.run_for(100ms);
    EXPECT_EQ(opens, 1);
    ASSERT_TRUE(watch.rearm());
    open(path_);
    io_.run_for(200ms);
    EXPECT_EQ(opens, 2);

    // Stopped: nothing more, and no handler left running.
    ASSERT_TRUE(watch.rearm());
    watch.stop();
    open(path_);
    io_.run_for(100ms);
    EXPECT_EQ(opens, 2);
}

}  // namespace
}  // namespace center
