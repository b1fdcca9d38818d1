// What all three programs do with damaged photographs, failed writes,
// concurrent runs in one directory and a result file locked by another process.
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::runProgram;

namespace {

const std::string kMetrics = PERCEPTUAL_METRICS_BINARY;
const std::string kLab = LAB_COMPARE_BINARY;
const std::string kComparePairs = COMPARE_PAIRS_BINARY;
const char* const kDebugFiles[] = { "A_before.jpg", "t_before.jpg", "mask.jpg", "10_in.txt" };

void writeCut(const std::string& path, const std::string& ext, const cv::Mat& img, double fraction)
{
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(ext, img, bytes));
    std::ofstream(path, std::ios::binary)
        .write(
            reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size() * fraction));
}

std::size_t lineCount(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

void expectNoTemporaryFiles()
{
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << entry.path();
}

} // namespace

TEST(Integrity, DamagedPhotographsAreErrorsInEveryProgram)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(90, 120, 31);
    testsupport::writePng("good.png", photo);
    writeCut("cut.jpg", ".jpg", photo, 0.6);
    writeCut("cut-jpeg.png", ".jpg", photo, 0.6);
    writeCut("cut.png", ".png", photo, 0.6);

    for (const std::string& binary : { kMetrics, kLab }) {
        for (const char* damaged : { "cut.jpg", "cut-jpeg.png", "cut.png" }) {
            const auto run = runProgram(binary, { "good.png", damaged });
            EXPECT_EQ(run.status, 1) << binary << " " << damaged;
            EXPECT_EQ(run.out, "") << binary << " " << damaged;
            // One line: the decoder's message is the error, not a stray line.
            EXPECT_EQ(lineCount(run.err), 1u) << run.err;
            EXPECT_NE(run.err.find(std::string("cannot read image \"") + damaged + "\": damaged"),
                std::string::npos)
                << run.err;
        }
    }
    EXPECT_FALSE(testsupport::fileExists("For_fit.txt"));
    for (const char* name : kDebugFiles)
        EXPECT_FALSE(testsupport::fileExists(name)) << name;

    std::ofstream("pairs.txt") << "good.png\tcut.jpg\ngood.png\tgood.png\n";
    const auto batch = runProgram(kComparePairs, { "pairs.txt" });
    EXPECT_EQ(batch.status, 1);
    EXPECT_NE(batch.out.find(
                  "good.png,cut.jpg,\"error: cannot read image \"\"cut.jpg\"\": damaged JPEG data"),
        std::string::npos)
        << batch.out;
    EXPECT_NE(batch.out.find("good.png,good.png,ok,1,1,1,1,1,1,1"), std::string::npos) << batch.out;
    EXPECT_EQ(batch.err.find("Premature end"), batch.err.rfind("Premature end")) << batch.err;
}

TEST(Integrity, HugeHeadersAreRefusedBeforeDecoding)
{
    testsupport::ScopedWorkDir dir;
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(9)), png));
    const uchar size[4] = { 0x00, 0x01, 0x86, 0xa0 }; // 100000
    std::copy(size, size + 4, png.begin() + 16);
    std::copy(size, size + 4, png.begin() + 20);
    std::ofstream("huge.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), png.size());
    testsupport::writePng("small.png", testsupport::makePhoto(20, 30, 32));

    for (const std::string& binary : { kMetrics, kLab }) {
        const auto run = runProgram(binary, { "small.png", "huge.png" });
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("100000 x 100000 pixels"), std::string::npos) << run.err;
    }
    // The limit can be lowered (and raised) from the environment.
    const auto lowered = runProgram(
        "/bin/sh", { "-c", "TOOLKIT_MAX_MEGAPIXELS=1 " + kLab + " small.png small.png" });
    EXPECT_EQ(lowered.status, 0) << lowered.err;
    testsupport::writePng("two-megapixels.png", cv::Mat(1500, 1500, CV_8UC3, cv::Scalar::all(40)));
    const auto refused = runProgram(
        "/bin/sh", { "-c", "TOOLKIT_MAX_MEGAPIXELS=1 " + kLab + " small.png two-megapixels.png" });
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("above the limit of 1 megapixels"), std::string::npos)
        << refused.err;

    // Formats OpenCV decodes are judged on their headers too, before its
    // decoder has a chance to print anything: a lossless WebP image of 16383
    // x 16383 pixels in 32 bytes.
    const unsigned char webp[32] = { 'R', 'I', 'F', 'F', 24, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P',
        '8', 'L', 12, 0, 0, 0, 0x2f, 0xfe, 0xbf, 0xff, 0x0f };
    std::ofstream("huge.webp", std::ios::binary).write(reinterpret_cast<const char*>(webp), 32);
    for (const std::string& binary : { kMetrics, kLab }) {
        const auto run = runProgram(binary, { "small.png", "huge.webp" });
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find("16383 x 16383 pixels (268 megapixels), above the limit of 250"),
            std::string::npos)
            << run.err;
    }
}

TEST(Integrity, EveryWriteIsChecked)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(20, 30, 33));
    testsupport::writePng("b.png", testsupport::makePhoto(25, 20, 34));

    // Standard output on a full disk: an error, after the block is appended.
    for (const std::string& binary : { kMetrics, kLab }) {
        const auto run = runProgram("/bin/sh", { "-c", binary + " a.png b.png > /dev/full" });
        EXPECT_EQ(run.status, 1) << binary;
        EXPECT_NE(run.err.find("standard output"), std::string::npos) << run.err;
        EXPECT_EQ(runProgram(binary, { "a.png", "b.png" }).status, 0);
    }
    // A closed pipe loses no figure either.
    for (const std::string& binary : { kMetrics, kLab }) {
        const auto run = runProgram(
            "/bin/sh", { "-c", "{ " + binary + " a.png b.png; echo $? > status; } | head -c0" });
        EXPECT_EQ(readFile("status"), "1\n") << binary;
        EXPECT_NE(run.err.find("Broken pipe"), std::string::npos) << run.err;
    }
    // Each program appended its block three times: under /dev/full, to a
    // closed pipe, and normally.
    EXPECT_EQ(lineCount(readFile("For_fit.txt")), 3u * (5 + 2));

    // A debug file that cannot be replaced is a warning; the figures stand.
    fs::remove("mask.jpg");
    fs::remove("10_in.txt");
    fs::create_directory("mask.jpg");
    fs::create_directory("10_in.txt");
    const auto warned = runProgram(kMetrics, { "a.png", "b.png" });
    EXPECT_EQ(warned.status, 0) << warned.err;
    EXPECT_EQ(lineCount(warned.out), 1u);
    EXPECT_NE(warned.err.find("warning: cannot write \"mask.jpg\""), std::string::npos)
        << warned.err;
    EXPECT_NE(warned.err.find("warning: cannot write \"10_in.txt\""), std::string::npos)
        << warned.err;
    EXPECT_FALSE(readFile("A_before.jpg").empty());
    expectNoTemporaryFiles();
}

TEST(Integrity, ConcurrentRunsLeaveEachDebugFileWhole)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(600, 800, 35));
    testsupport::writePng("b.png", testsupport::makePhoto(640, 760, 36));
    testsupport::writePng("c.png", testsupport::makePhoto(560, 840, 37));
    const std::string here = fs::current_path().string();

    // Each run's own files, made alone.
    std::map<std::string, std::string> alone[2];
    const char* seconds[2] = { "b.png", "c.png" };
    for (int k = 0; k < 2; ++k) {
        testsupport::ScopedWorkDir single;
        ASSERT_EQ(runProgram(kMetrics, { here + "/a.png", here + "/" + seconds[k] }).status, 0);
        for (const char* name : kDebugFiles)
            alone[k][name] = readFile(name);
    }

    for (int round = 0; round < 6; ++round) {
        const auto run = runProgram("/bin/sh",
            { "-c",
                kMetrics + " a.png b.png > /dev/null & " + kMetrics
                    + " a.png c.png > /dev/null & wait" });
        ASSERT_EQ(run.status, 0) << run.err;
        for (const char* name : kDebugFiles) {
            const std::string content = readFile(name);
            EXPECT_TRUE(content == alone[0][name] || content == alone[1][name])
                << name << " is a mixture of two runs (round " << round << ")";
        }
    }
    expectNoTemporaryFiles();
}

// Both programs append their block to For_fit.txt only under an exclusive
// lock on it: while another process holds the lock a run waits, appends
// nothing and does not finish; once the lock is released its whole block
// follows what the holder wrote.
TEST(Integrity, ResultBlockWaitsForTheLockOnTheResultFile)
{
    using Clock = std::chrono::steady_clock;
    for (const std::string& binary : { kMetrics, kLab }) {
        SCOPED_TRACE(binary);
        testsupport::ScopedWorkDir dir;
        testsupport::writePng("a.png", testsupport::makePhoto(30, 40, 38));
        testsupport::writePng("b.png", testsupport::makePhoto(36, 28, 39));
        const auto started = Clock::now();
        ASSERT_EQ(runProgram(binary, { "a.png", "b.png" }).status, 0);
        const auto alone = Clock::now() - started;
        const std::string block = readFile("For_fit.txt");
        ASSERT_FALSE(block.empty());
        fs::remove("For_fit.txt");

        // Close-on-exec, so the program does not inherit the lock holder.
        const int fd = ::open("For_fit.txt", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        auto run = std::async(std::launch::async, [&binary] {
            return runProgram(binary, { "a.png", "b.png" });
        });
        // Well past the time the run took alone.
        const auto wait = std::chrono::milliseconds(1500) + 3 * alone;
        const bool finished = run.wait_for(wait) == std::future_status::ready;
        const std::string whileLocked = readFile("For_fit.txt");

        const std::string marker = "held\nby the test\n";
        const bool written = ::write(fd, marker.data(), marker.size()) == ssize_t(marker.size());
        ::flock(fd, LOCK_UN);
        ::close(fd);
        const testsupport::RunResult result = run.get();

        EXPECT_FALSE(finished) << "the run ended while the lock was held";
        EXPECT_EQ(whileLocked, "") << "appended while the lock was held";
        EXPECT_TRUE(written);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(readFile("For_fit.txt"), marker + block);
    }
}

TEST(Integrity, SinglePairProgramsHaveHelpAndVersionOnly)
{
    testsupport::ScopedWorkDir dir;
    for (const std::string& binary : { kMetrics, kLab }) {
        const auto help = runProgram(binary, { "--help" });
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
        const std::string usage = help.out.substr(0, help.out.find('\n') + 1);
        const auto version = runProgram(binary, { "--version" });
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, binary.substr(binary.rfind('/') + 1) + " " TOOLKIT_VERSION "\n");
        // Any other argument list: 255, nothing on standard output, the usage
        // line alone on standard error.
        for (const auto& args : std::vector<std::vector<std::string>> { {}, { "--help", "x", "y" },
                 { "--version", "a.png", "b.png" }, { "a.png" }, { "--bogus" }, { "-h" } }) {
            const auto run = runProgram(binary, args);
            EXPECT_EQ(run.status, 255);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, usage);
        }
    }
    EXPECT_FALSE(testsupport::fileExists("For_fit.txt"));
}

TEST(Integrity, AFileSizeLimitNeverLeavesAPartialBlock)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(20, 30, 38));
    testsupport::writePng("b.png", testsupport::makePhoto(25, 20, 39));
    // Whole blocks up to 20 bytes below the limit of one 1024-byte block.
    std::string old;
    while (old.size() + 4 <= 1004)
        old += "0.5\n";
    for (const std::string& binary : { kMetrics, kLab }) {
        std::ofstream("For_fit.txt", std::ios::binary | std::ios::trunc) << old;
        const auto limited
            = runProgram("/bin/sh", { "-c", "ulimit -f 1; " + binary + " a.png b.png" });
        EXPECT_EQ(limited.status, 1) << binary;
        EXPECT_NE(limited.err.find("For_fit.txt"), std::string::npos) << limited.err;
        EXPECT_EQ(readFile("For_fit.txt"), old) << binary << " left part of its block";
        // The next run appends a whole, correct block.
        const auto next = runProgram(binary, { "a.png", "b.png" });
        ASSERT_EQ(next.status, 0) << next.err;
        std::string block = next.out;
        std::replace(block.begin(), block.end(), ',', '\n');
        EXPECT_EQ(readFile("For_fit.txt"), old + block);
    }
}

TEST(Integrity, AFullDiskNeverLeavesAPartialBlock)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(20, 30, 41));
    testsupport::writePng("b.png", testsupport::makePhoto(25, 20, 42));
    fs::create_directory("disk");
    // Sixteen pages: one for the results, the others taken by a filler.
    if (runProgram("/bin/mount", { "-t", "tmpfs", "-o", "size=64k", "tmpfs", "disk" }).status != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    std::string old;
    while (old.size() + 4 <= 4090)
        old += "0.5\n";
    for (const std::string& binary : { kMetrics, kLab }) {
        std::ofstream("disk/For_fit.txt", std::ios::binary | std::ios::trunc) << old;
        std::ofstream("disk/filler", std::ios::binary | std::ios::trunc)
            << std::string(15 * 4096, 'x');
        const auto full
            = runProgram("/bin/sh", { "-c", "cd disk && " + binary + " ../a.png ../b.png" });
        EXPECT_EQ(full.status, 1) << binary;
        EXPECT_NE(full.err.find("For_fit.txt"), std::string::npos) << full.err;
        EXPECT_EQ(readFile("disk/For_fit.txt"), old) << binary << " left part of its block";
        // With room again, the next run appends a whole, correct block.
        fs::remove("disk/filler");
        const auto next
            = runProgram("/bin/sh", { "-c", "cd disk && " + binary + " ../a.png ../b.png" });
        EXPECT_EQ(next.status, 0) << next.err;
        std::string block = next.out;
        std::replace(block.begin(), block.end(), ',', '\n');
        EXPECT_EQ(readFile("disk/For_fit.txt"), old + block);
        for (const char* name : { "A_before.jpg", "t_before.jpg", "mask.jpg", "10_in.txt" })
            fs::remove(std::string("disk/") + name);
    }
    runProgram("/bin/umount", { "disk" });
}

TEST(Integrity, RunningOutOfMemoryIsAMessageAndNothingAppended)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot start under an address-space limit";
#endif
    testsupport::ScopedWorkDir dir;
    // 192 MB of pixels each, a few hundred kilobytes of file.
    const cv::Mat flat(8000, 8000, CV_8UC3, cv::Scalar(10, 20, 30));
    ASSERT_TRUE(cv::imwrite("big.jpg", flat));
    ASSERT_TRUE(cv::imwrite("big.png", flat));
    testsupport::writePng("small.png", testsupport::makePhoto(10, 10, 40));
    ASSERT_TRUE(cv::imwrite("small.jpg", testsupport::makePhoto(10, 10, 40)));
    // Two limits, so that the allocation fails at different points.
    for (const char* limit : { "250000", "300000" })
        for (const std::string& binary : { kMetrics, kLab })
            for (const char* big : { "big.jpg", "big.png" }) {
                const auto run = runProgram("/bin/sh",
                    { "-c",
                        std::string("ulimit -v ") + limit + "; " + binary + " small.jpg " + big });
                EXPECT_EQ(run.status, 1) << binary << " " << big << ": " << run.err;
                EXPECT_NE(run.err.find("out of memory"), std::string::npos) << run.err;
                EXPECT_EQ(run.err.find("terminate called"), std::string::npos) << run.err;
                EXPECT_TRUE(run.out.empty()) << run.out;
                EXPECT_FALSE(testsupport::fileExists("For_fit.txt")) << binary << " " << big;
            }
    // In a batch, the pair is an error row and the other pairs are measured.
    std::ofstream("pairs.txt") << "small.jpg big.jpg\nsmall.jpg small.jpg\n";
    const auto batch
        = runProgram("/bin/sh", { "-c", "ulimit -v 300000; " + kComparePairs + " -j 1 pairs.txt" });
    EXPECT_EQ(batch.status, 1) << batch.err;
    EXPECT_NE(batch.out.find("out of memory"), std::string::npos) << batch.out;
    EXPECT_NE(batch.out.find("small.jpg,small.jpg,ok,1,1,1,1,1,1,1"), std::string::npos)
        << batch.out;
}

// OpenCV's codecs are loaded only for a file that needs them: a program
// without the toolkit's codec module measures JPEG and PNG files as ever,
// and gives a clear error, appending nothing, for a file only OpenCV reads.
TEST(Integrity, CodecModuleIsLoadedOnlyWhenAFileNeedsIt)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(30, 40, 41);
    testsupport::writePng("a.png", photo);
    ASSERT_TRUE(cv::imwrite("b.jpg", testsupport::makePhoto(30, 40, 42)));
    ASSERT_TRUE(cv::imwrite("c.bmp", photo));
    for (const std::string& binary : { kMetrics, kLab }) {
        const std::string alone = fs::path(binary).filename().string();
        fs::copy_file(binary, alone, fs::copy_options::overwrite_existing);
        const auto measured = runProgram("./" + alone, { "a.png", "b.jpg" });
        EXPECT_EQ(measured.status, 0) << alone << ": " << measured.err;
        EXPECT_EQ(measured.out, runProgram(binary, { "a.png", "b.jpg" }).out) << alone;
        fs::remove("For_fit.txt");

        if (fs::exists(std::string(TOOLKIT_CODECS_INSTALL_DIR "/libtoolkit-opencv-codecs.so")))
            continue; // an installed module would be found
        const auto refused = runProgram("./" + alone, { "a.png", "c.bmp" });
        EXPECT_EQ(refused.status, 1) << alone << ": " << refused.err;
        EXPECT_NE(refused.err.find("cannot load OpenCV's image codecs: no "
                                   "libtoolkit-opencv-codecs.so beside the program"),
            std::string::npos)
            << refused.err;
        EXPECT_TRUE(refused.out.empty()) << refused.out;
        EXPECT_FALSE(testsupport::fileExists("For_fit.txt")) << alone;
    }
}
