#pragma once
// The base of the tests that write recordings: a fresh folder for each test,
// removed afterwards, and files created in it as the recorder creates them.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "vardoappcore/avi_file.h"

namespace vardo {

class AviFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vardo-avi-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::unique_ptr<AviFile> create(const std::string& name) {
        std::string error;
        auto file = AviFile::create(dir_ + "/" + name, error);
        EXPECT_TRUE(file) << error;
        return file;
    }

    std::string dir_;
};

}  // namespace vardo
