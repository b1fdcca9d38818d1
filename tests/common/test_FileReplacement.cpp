#include "toolkit/common/FileReplacement.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

TEST(FileReplacement, UncommittedFilesLeaveNothing)
{
    testsupport::ScopedWorkDir dir;
    {
        toolkit::common::FileReplacement file("dump.txt");
        ASSERT_NE(file.file(), nullptr);
        std::fputs("not committed\n", file.file());
    }
    EXPECT_FALSE(testsupport::fileExists("dump.txt"));
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << entry.path();
}
