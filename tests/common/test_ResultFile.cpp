#include "toolkit/common/ResultFile.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using toolkit::common::appendLocked;

TEST(ResultFile, AppendsAndCreates)
{
    testsupport::ScopedWorkDir dir;
    std::string error;
    ASSERT_TRUE(appendLocked("out.txt", "a\n", error)) << error;
    ASSERT_TRUE(appendLocked("out.txt", "b\nc\n", error)) << error;
    EXPECT_EQ(testsupport::readFile("out.txt"), "a\nb\nc\n");
}

TEST(ResultFile, ReportsWhatCannotBeOpened)
{
    testsupport::ScopedWorkDir dir;
    std::string error;
    EXPECT_FALSE(appendLocked("no-such-dir/out.txt", "a\n", error));
    EXPECT_NE(error.find("no-such-dir/out.txt"), std::string::npos) << error;
    EXPECT_FALSE(appendLocked(".", "a\n", error));
}

TEST(ResultFile, ConcurrentWritersNeverInterleave)
{
    testsupport::ScopedWorkDir dir;
    const int writers = 8;
    const int blocksEach = 50;
    // A block far larger than a pipe buffer so that a torn write would show.
    for (int w = 0; w < writers; ++w) {
        if (::fork() == 0) {
            const std::string block = std::string(20000, char('a' + w)) + "\n";
            std::string error;
            for (int k = 0; k < blocksEach; ++k)
                if (!appendLocked("shared.txt", block, error))
                    ::_exit(1);
            ::_exit(0);
        }
    }
    for (int w = 0; w < writers; ++w) {
        int status = 0;
        ::wait(&status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string content = testsupport::readFile("shared.txt");
    ASSERT_EQ(content.size(), size_t(writers * blocksEach * 20001));
    for (size_t pos = 0; pos < content.size(); pos += 20001) {
        const char c = content[pos];
        ASSERT_EQ(content.find_first_not_of(c, pos), pos + 20000) << "torn block at " << pos;
        ASSERT_EQ(content[pos + 20000], '\n');
    }
}
