#include "programs/compare-pairs/PairList.hpp"
#include "programs/compare-pairs/Rows.hpp"
#include "programs/compare-pairs/Table.hpp"
#include "programs/lab-compare/LabCompare.hpp"
#include "toolkit/common/ImageReader.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::runProgram;

namespace {

const std::string kBinary = COMPARE_PAIRS_BINARY;
const std::string kMetrics = PERCEPTUAL_METRICS_BINARY;
const std::string kLab = LAB_COMPARE_BINARY;
const std::string kSamples = SAMPLES_DIR;
const std::string kHeader = "first,second,status,Q,J,C,M,s,L,ab,a,b,"
                            "first_size,first_bits,first_profile,first_reading,first_white,"
                            "second_size,second_bits,second_profile,second_reading,second_white\n";
// The header of the tables compare-pairs wrote before a, b and the facts.
const std::string kEarlierHeader = "first,second,status,Q,J,C,M,s,L,ab\n";

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> parsed;
    EXPECT_TRUE(comparepairs::parseCsvLine(line, parsed)) << line;
    return parsed;
}

// Writes `count` small photographs img0.png ... and returns their names.
std::vector<std::string> writePhotos(int count, int rows = 24, int cols = 32)
{
    std::vector<std::string> names;
    for (int k = 0; k < count; ++k) {
        names.push_back("img" + std::to_string(k) + ".png");
        testsupport::writePng(
            names.back(), testsupport::makePhoto(rows + k % 3, cols + k % 5, 100 + k));
    }
    return names;
}

// The row the single-pair programs give for a pair, run in a directory of
// their own; appends what they append to "For_fit.txt" to `forFit`.
std::string singleProgramRow(
    const std::string& first, const std::string& second, std::string& forFit)
{
    const std::string here = fs::current_path().string();
    testsupport::ScopedWorkDir scratch;
    const auto perceptual = runProgram(kMetrics, { here + "/" + first, here + "/" + second });
    const auto lab = runProgram(kLab, { here + "/" + first, here + "/" + second });
    EXPECT_EQ(perceptual.status, 0) << perceptual.err;
    EXPECT_EQ(lab.status, 0) << lab.err;
    forFit += readFile("For_fit.txt");
    return first + "," + second + ",ok," + perceptual.out.substr(0, perceptual.out.size() - 1) + ","
        + lab.out.substr(0, lab.out.size() - 1);
}

// Starts the program with the list on standard input discarded and output
// to files; returns its pid.
pid_t spawn(const std::vector<std::string>& args)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        std::vector<char*> argv { const_cast<char*>(kBinary.c_str()) };
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(kBinary.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits until the file holds at least `rows` lines after the header.
void waitForRows(const std::string& path, std::size_t rows)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (lines(readFile(path)).size() >= rows + 1)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FAIL() << "no " << rows << " rows in " << path;
}

// A list of many pairs over a few photographs, in changing combinations.
std::string longList(const std::vector<std::string>& names, int pairs)
{
    std::string list;
    for (int k = 0; k < pairs; ++k)
        list += names[k % names.size()] + "\t" + names[(k * 7 + 3) % names.size()] + "\n";
    return list;
}

// The names in a directory, hidden ones included, sorted.
std::vector<std::string> entries(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// An earlier report as the program leaves one: its marker, two pages and
// the thumbnails of pairs the next run does not have.
void writeEarlierReport(const std::string& path)
{
    fs::create_directories(path + "/img");
    writeText(path + "/.compare-pairs-report", "written by compare-pairs\n");
    for (const char* name : { "index.html", "page-2.html", "img/1-first.jpg", "img/900-mask.jpg" })
        writeText(path + "/" + name, "earlier");
}

} // namespace

TEST(PairList, LinesTabsBlanksAndComments)
{
    comparepairs::PairLine pair;
    EXPECT_FALSE(comparepairs::parsePairLine("", 1, pair));
    EXPECT_FALSE(comparepairs::parsePairLine("   \r", 1, pair));
    EXPECT_FALSE(comparepairs::parsePairLine("  # a comment\tb", 1, pair));

    // With a tab, fields are taken as they stand: paths may hold spaces.
    ASSERT_TRUE(comparepairs::parsePairLine("my photo.jpg\tother one.png\r", 4, pair));
    EXPECT_EQ(pair.first, "my photo.jpg");
    EXPECT_EQ(pair.second, "other one.png");
    EXPECT_EQ(pair.number, 4u);
    EXPECT_EQ(pair.error, "");

    ASSERT_TRUE(comparepairs::parsePairLine("  a.jpg    b.jpg ", 5, pair));
    EXPECT_EQ(pair.first + "|" + pair.second, "a.jpg|b.jpg");

    for (const char* bad : { "one.jpg", "a b c", "a\tb\tc", "a\t", "\tb" }) {
        ASSERT_TRUE(comparepairs::parsePairLine(bad, 9, pair)) << bad;
        EXPECT_NE(pair.error.find("line 9"), std::string::npos) << bad;
    }
}

TEST(PairList, ShardsSplitTheLinesByIndex)
{
    comparepairs::Shard shard;
    ASSERT_TRUE(comparepairs::parseShard("2/3", shard));
    EXPECT_TRUE(shard.takes(3));
    EXPECT_TRUE(shard.takes(6));
    EXPECT_FALSE(shard.takes(1));
    for (const char* bad : { "3/3", "1/0", "-1/2", "1", "a/2", "1/2/3", "/2", "" })
        EXPECT_FALSE(comparepairs::parseShard(bad, shard)) << bad;
}

TEST(Table, FieldsQuoteAndParseBack)
{
    const std::vector<std::string> fields
        = { "plain.jpg", "with,comma.jpg", "say \"hi\".png", "", "error: cannot read image \"x\"" };
    std::string line;
    for (const auto& field : fields)
        line += (line.empty() && &field == &fields.front() ? "" : ",")
            + comparepairs::csvField(field);
    EXPECT_EQ(comparepairs::csvField("with,comma.jpg"), "\"with,comma.jpg\"");
    std::vector<std::string> parsed;
    ASSERT_TRUE(comparepairs::parseCsvLine(line, parsed));
    EXPECT_EQ(parsed, fields);
    EXPECT_FALSE(comparepairs::parseCsvLine("a,\"open", parsed));

    comparepairs::Comparisons which;
    ASSERT_TRUE(comparepairs::parseComparisons("lab", which));
    EXPECT_EQ(comparepairs::tableHeader(which),
        "first,second,status,L,ab,a,b,first_size,first_bits,first_profile,first_reading,"
        "second_size,second_bits,second_profile,second_reading\n");
    ASSERT_TRUE(comparepairs::parseComparisons("lab,perceptual", which));
    EXPECT_EQ(comparepairs::tableHeader(which), kHeader);
    EXPECT_FALSE(comparepairs::parseComparisons("perceptual,hue", which));
    EXPECT_FALSE(comparepairs::parseComparisons("", which));
}

TEST(ComparePairs, FiguresAndBlocksEqualTheSinglePairPrograms)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(5);
    cv::imwrite("big.jpg", testsupport::makePhoto(120, 90, 7));
    // Pairs sharing images, an image with itself, different sizes, a JPEG.
    const std::vector<std::pair<std::string, std::string>> pairs
        = { { names[0], names[1] }, { names[0], names[2] }, { names[3], names[3] },
              { "big.jpg", names[4] }, { names[4], "big.jpg" }, { names[2], names[1] } };
    std::string list = "# first second\n\n";
    std::vector<std::string> expected;
    std::string expectedForFit;
    for (const auto& p : pairs) {
        list += p.first + "\t" + p.second + "\n";
        expected.push_back(singleProgramRow(p.first, p.second, expectedForFit));
    }
    writeText("pairs.txt", list);

    const auto run = runProgram(kBinary, { "-j", "3", "--for-fit", "pairs.txt" });
    EXPECT_EQ(run.status, 0) << run.err;
    const auto rows = lines(run.out);
    ASSERT_EQ(rows.size(), pairs.size() + 1) << run.out;
    EXPECT_EQ(rows[0] + "\n", kHeader);
    // To the digit up to ab; a, b and the images' facts follow.
    for (std::size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(rows[k + 1].substr(0, expected[k].size() + 1), expected[k] + ",");
    EXPECT_EQ(readFile("For_fit.txt"), expectedForFit);
    EXPECT_NE(run.err.find("6 pairs: 6 ok, 0 failed"), std::string::npos) << run.err;

    // Without --for-fit a batch run writes nothing into the working directory.
    fs::remove("For_fit.txt");
    const auto before = std::distance(fs::directory_iterator("."), fs::directory_iterator());
    const auto quiet = runProgram(kBinary, { "--out", "table.csv", "pairs.txt" });
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(readFile("table.csv"), run.out);
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), before + 1);

    // One comparison only: its columns alone, same figures; the list from standard input.
    const auto lab = runProgram("/bin/sh", { "-c", kBinary + " --metrics lab -j 1 - < pairs.txt" });
    EXPECT_EQ(lab.status, 0) << lab.err;
    const auto labLines = lines(lab.out);
    ASSERT_EQ(labLines.size(), rows.size());
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const auto all = fields(rows[k]);
        const auto only = fields(labLines[k]);
        // L, ab, a, b and the facts but the white.
        std::vector<std::string> kept(all.begin(), all.begin() + 3);
        for (int c : { 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 19, 20 })
            kept.push_back(all[c]);
        EXPECT_EQ(only, kept);
    }
}

TEST(ComparePairs, FailedPairsGetErrorRowsAndTheRunGoesOn)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(2);
    writeText("broken.png", "this is not an image");
    writeText("pairs.txt",
        names[0] + "\t" + names[1] + "\nmissing.png\t" + names[0] + "\n" + names[1]
            + "\tbroken.png\njust-one-path.png\nwith,comma.png " + names[0] + "\n" + names[1] + " "
            + names[0] + "\n");
    const auto run = runProgram(kBinary, { "--for-fit", "pairs.txt" });
    EXPECT_EQ(run.status, 1);
    const auto rows = lines(run.out);
    ASSERT_EQ(rows.size(), 7u) << run.out;
    // No figures, but the facts of the image that was read (up to its white).
    EXPECT_EQ(rows[2].substr(0, rows[2].rfind(',') + 1),
        "missing.png," + names[0]
            + ",\"error: cannot read image \"\"missing.png\"\": No such file or "
              "directory\","
            + std::string(9 + 5, ',') + "32x24,8,,as stored,");
    EXPECT_NE(rows[3].find("broken.png"), std::string::npos);
    EXPECT_EQ(rows[4],
        "just-one-path.png,,error: line 4: expected two image paths separated by a tab or by "
        "white space"
            + std::string(9 + 2 * 5, ','));
    EXPECT_EQ(rows[5].substr(0, 16), "\"with,comma.png\"");
    EXPECT_NE(rows[1].find(",ok,"), std::string::npos);
    EXPECT_NE(rows[6].find(",ok,"), std::string::npos);
    // Each failure on standard error with its line, then the counts.
    EXPECT_NE(run.err.find("line 2: cannot read image \"missing.png\""), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("line 3: cannot read image \"broken.png\""), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("6 pairs: 2 ok, 4 failed"), std::string::npos) << run.err;
    // Only the good pairs append blocks: 7 lines each.
    EXPECT_EQ(lines(readFile("For_fit.txt")).size(), 14u);
}

TEST(ComparePairs, UsageErrorsAndUnwritableTables)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(1);
    writeText("pairs.txt", names[0] + "\t" + names[0] + "\n");
    EXPECT_EQ(runProgram(kBinary, { "--help" }).status, 0);
    const auto version = runProgram(kBinary, { "--version" });
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("compare-pairs ", 0), 0u) << version.out;

    for (const auto& args : std::vector<std::vector<std::string>> { {}, { "--bogus", "pairs.txt" },
             { "-j", "0", "pairs.txt" }, { "--metrics", "hue", "pairs.txt" },
             { "--shard", "2/2", "pairs.txt" }, { "--resume", "pairs.txt" }, { "missing-list.txt" },
             { "." }, { "pairs.txt", "pairs.txt" }, { "--profiles", "srgb", "pairs.txt" } }) {
        const auto run = runProgram(kBinary, args);
        EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]) << ": " << run.err;
        EXPECT_FALSE(run.err.empty());
    }

    // An existing table is never overwritten, nor resumed with other columns.
    writeText("table.csv", "first,second,status,L,ab\na,b,ok,1,1\n");
    EXPECT_EQ(runProgram(kBinary, { "--out", "table.csv", "pairs.txt" }).status, 2);
    EXPECT_EQ(runProgram(kBinary, { "--out", "table.csv", "--resume", "pairs.txt" }).status, 2);
    EXPECT_EQ(readFile("table.csv"), "first,second,status,L,ab\na,b,ok,1,1\n");

    // A table that cannot be written is an error; --out takes regular files only.
    const auto full = runProgram(kBinary, { "--out", "/dev/full", "pairs.txt" });
    EXPECT_EQ(full.status, 2);
    EXPECT_NE(full.err.find("/dev/full"), std::string::npos) << full.err;
    const auto stdoutFull = runProgram("/bin/sh", { "-c", kBinary + " pairs.txt > /dev/full" });
    EXPECT_EQ(stdoutFull.status, 1);
    EXPECT_NE(stdoutFull.err.find("standard output"), std::string::npos) << stdoutFull.err;
}

TEST(ComparePairs, ResumeCompletesTheTableWithEveryPairOnce)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(6);
    std::string list = longList(names, 12) + "missing.png\t" + names[0] + "\n";
    writeText("pairs.txt", list);
    ASSERT_EQ(runProgram(kBinary, { "--out", "full.csv", "pairs.txt" }).status, 1);
    const std::string full = readFile("full.csv");
    const auto fullRows = lines(full);
    ASSERT_EQ(fullRows.size(), 14u);

    // A table cut in the middle of a row, as by a full disk or kill -9.
    std::string partial
        = kHeader + fullRows[1] + "\n" + fullRows[2] + "\n" + fullRows[3].substr(0, 20);
    writeText("table.csv", partial);
    const auto resumed = runProgram(kBinary, { "--out", "table.csv", "--resume", "pairs.txt" });
    EXPECT_EQ(resumed.status, 1);
    EXPECT_EQ(readFile("table.csv"), full);
    EXPECT_NE(resumed.err.find("cut short"), std::string::npos) << resumed.err;
    EXPECT_NE(resumed.err.find("2 already in the table"), std::string::npos) << resumed.err;

    // A complete table: nothing to do, the old error row still counts.
    const auto again = runProgram(kBinary, { "--out", "table.csv", "--resume", "pairs.txt" });
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(readFile("table.csv"), full);

    // A new table with --resume starts from the header.
    ASSERT_EQ(runProgram(kBinary, { "--out", "new.csv", "--resume", "pairs.txt" }).status, 1);
    EXPECT_EQ(readFile("new.csv"), full);
}

TEST(ComparePairs, InterruptedRunsLeaveWholeRowsAndResume)
{
    testsupport::ScopedWorkDir dir;
    // Enough distinct photographs that a run on one worker lasts well beyond
    // the moment it is interrupted.
    const auto names = writePhotos(150, 120, 160);
    writeText("pairs.txt", longList(names, 400));
    ASSERT_EQ(runProgram(kBinary, { "-j", "2", "--out", "full.csv", "pairs.txt" }).status, 0);
    const std::string full = readFile("full.csv");

    for (int signo : { SIGTERM, SIGKILL }) {
        fs::remove("table.csv");
        const pid_t pid = spawn({ "-j", "1", "--out", "table.csv", "pairs.txt" });
        waitForRows("table.csv", 3);
        ::kill(pid, signo);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (signo == SIGTERM) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
            // A caught signal finishes the row being written.
            const std::string cut = readFile("table.csv");
            EXPECT_EQ(cut.back(), '\n');
            EXPECT_EQ(full.compare(0, cut.size(), cut), 0);
        } else {
            EXPECT_TRUE(WIFSIGNALED(status));
        }
        const auto resumed
            = runProgram(kBinary, { "-j", "2", "--out", "table.csv", "--resume", "pairs.txt" });
        EXPECT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_EQ(readFile("table.csv"), full) << "after signal " << signo;
    }
}

TEST(ComparePairs, ShardsMergeIntoTheWholeTable)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(5);
    writeText("pairs.txt", "# shards count lines, comments included\n" + longList(names, 10));
    ASSERT_EQ(runProgram(kBinary, { "--out", "full.csv", "pairs.txt" }).status, 0);
    std::vector<std::string> shards;
    for (int k = 0; k < 3; ++k) {
        shards.push_back("shard-" + std::to_string(k) + ".csv");
        const auto run = runProgram(
            kBinary, { "--shard", std::to_string(k) + "/3", "--out", shards.back(), "pairs.txt" });
        ASSERT_EQ(run.status, 0) << run.err;
        // Line indices k, k + 3, ... of the file's 11 lines, the comment being index 0.
        EXPECT_EQ(lines(readFile(shards.back())).size(), k == 1 ? 5u : 4u);
    }
    std::vector<std::string> args = { "--merge", "--out", "merged.csv" };
    args.insert(args.end(), shards.begin(), shards.end());
    const auto merged = runProgram(kBinary, args);
    ASSERT_EQ(merged.status, 0) << merged.err;
    auto mergedRows = lines(readFile("merged.csv"));
    auto fullRows = lines(readFile("full.csv"));
    EXPECT_EQ(mergedRows.front(), fullRows.front());
    std::sort(mergedRows.begin(), mergedRows.end());
    std::sort(fullRows.begin(), fullRows.end());
    EXPECT_EQ(mergedRows, fullRows);

    // Merging refuses other columns, cut rows, and an existing output.
    writeText("lab.csv", "first,second,status,L,ab\n");
    writeText("cut.csv", kHeader + "a,b,ok");
    EXPECT_EQ(runProgram(kBinary, { "--merge", shards[0], "lab.csv" }).status, 2);
    EXPECT_EQ(runProgram(kBinary, { "--merge", shards[0], "cut.csv" }).status, 2);
    EXPECT_EQ(runProgram(kBinary, { "--merge", "--out", "merged.csv", shards[0] }).status, 2);
    EXPECT_EQ(lines(readFile("merged.csv")).size(), 11u);
}

TEST(ComparePairs, DebugFilesGoToOneFolderPerLine)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(3);
    writeText("pairs.txt",
        "# header\n" + names[0] + "\t" + names[1] + "\n" + names[1] + "\t" + names[2] + "\n");
    const auto run = runProgram(kBinary, { "--debug-dir", "debug/out", "pairs.txt" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(testsupport::fileExists("10_in.txt"));
    const std::string here = fs::current_path().string();
    for (int line : { 2, 3 }) {
        testsupport::ScopedWorkDir single;
        const auto& first = names[line - 2];
        const auto& second = names[line - 1];
        ASSERT_EQ(runProgram(kMetrics, { here + "/" + first, here + "/" + second }).status, 0);
        for (const char* name : { "A_before.jpg", "t_before.jpg", "mask.jpg", "10_in.txt" }) {
            const std::string batch
                = readFile(here + "/debug/out/" + std::to_string(line) + "/" + name);
            EXPECT_FALSE(batch.empty()) << line << " " << name;
            EXPECT_TRUE(batch == readFile(name)) << line << " " << name;
        }
    }
}

TEST(ComparePairs, ReportPagesHoldAtMostTwoHundredPairs)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(4, 12, 16);
    writeText("pairs.txt", longList(names, 205) + "missing.png\t<odd>&name.png\n");
    const auto run = runProgram(kBinary, { "--report", "report", "--out", "t.csv", "pairs.txt" });
    EXPECT_EQ(run.status, 1) << run.err;
    const std::string index = readFile("report/index.html");
    const std::string second = readFile("report/page-2.html");
    auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    };
    // The table lists every pair; the sections are split over the pages.
    EXPECT_EQ(count(index, "<tr><td"), 206u);
    EXPECT_EQ(count(index, "<section"), 200u);
    EXPECT_EQ(count(second, "<section"), 6u);
    EXPECT_NE(index.find("href=\"page-2.html#pair-206\""), std::string::npos);
    EXPECT_EQ(count(index + second, "<svg class=\"chart\""), 205u * 8);
    EXPECT_EQ(count(index + second, "<dt>read</dt><dd>as stored</dd>"), 205u * 2);
    // Names are escaped, never markup.
    EXPECT_EQ((index + second).find("<odd>"), std::string::npos);
    EXPECT_NE(second.find("&lt;odd&gt;&amp;name.png"), std::string::npos);
    EXPECT_TRUE(testsupport::fileExists("report/img/1-mask.jpg"));
}

namespace {

// The header of a run with distances, up to the images' facts.
const std::string kDistanceColumns
    = "Q_distance,J_distance,C_distance,M_distance,s_distance,L_distance,a_distance,b_distance";

// The cells of a table's second line by the header's names.
std::map<std::string, std::string> firstRow(const std::string& table)
{
    const auto all = lines(table);
    std::map<std::string, std::string> row;
    if (all.size() < 2)
        return row;
    const auto names = fields(all[0]), cells = fields(all[1]);
    for (std::size_t k = 0; k < names.size() && k < cells.size(); ++k)
        row[names[k]] = cells[k];
    return row;
}

// Every value of an 8-bit image times `factor`, rounded, as an edit would.
cv::Mat scaled(const cv::Mat& img, double factor)
{
    cv::Mat out;
    img.convertTo(out, CV_8U, factor);
    return out;
}

// Saturation raised by `factor` about each pixel's grey (ITU-R 601 luma).
cv::Mat saturated(const cv::Mat& img, double factor)
{
    cv::Mat out(img.size(), CV_8UC3);
    for (int i = 0; i < img.rows; ++i)
        for (int j = 0; j < img.cols; ++j) {
            const cv::Vec3b p = img.at<cv::Vec3b>(i, j);
            const double grey = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
            for (int c = 0; c < 3; ++c)
                out.at<cv::Vec3b>(i, j)[c]
                    = cv::saturate_cast<uchar>(grey + factor * (p[c] - grey));
        }
    return out;
}

} // namespace

TEST(ComparePairsDistance, ColumnsOnlyWhenAskedAndTheFiguresUnchanged)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(2);
    writeText("pairs.txt", names[0] + "\t" + names[1] + "\n");
    const auto plain = runProgram(kBinary, { "pairs.txt" });
    const auto both = runProgram(kBinary, { "--metrics", "perceptual,lab,distance", "pairs.txt" });
    const auto lab = runProgram(kBinary, { "--metrics", "distance,lab", "pairs.txt" });
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(both.status, 0) << both.err;
    ASSERT_EQ(lab.status, 0) << lab.err;
    EXPECT_EQ(lines(plain.out)[0] + "\n", kHeader);
    EXPECT_EQ(lines(both.out)[0],
        "first,second,status,Q,J,C,M,s,L,ab,a,b," + kDistanceColumns
            + ",first_size,first_bits,first_profile,first_reading,first_white,"
              "second_size,second_bits,second_profile,second_reading,second_white");
    EXPECT_EQ(lines(lab.out)[0],
        "first,second,status,L,ab,a,b,L_distance,a_distance,b_distance,"
        "first_size,first_bits,first_profile,first_reading,second_size,second_bits,"
        "second_profile,second_reading");
    // Every other cell as without distances.
    auto withDistances = firstRow(both.out);
    auto without = firstRow(plain.out);
    for (const auto& [name, cell] : without)
        EXPECT_EQ(withDistances[name], cell) << name;

    // The distances are those of the measured images, as printed figures.
    const comparison::Plan plan { true, true, false, true };
    const comparison::Distances d
        = comparison::distances(comparison::measureImage(cv::imread(names[0]), plan),
            comparison::measureImage(cv::imread(names[1]), plan), plan);
    const std::pair<const char*, double> expected[] = { { "Q_distance", d.Q },
        { "J_distance", d.J }, { "C_distance", d.C }, { "M_distance", d.M }, { "s_distance", d.s },
        { "L_distance", d.L }, { "a_distance", d.a }, { "b_distance", d.b } };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(withDistances[name], comparepairs::figureText(value)) << name;

    // A failed pair has empty distance cells; distance alone is refused.
    writeText("bad.txt", names[0] + "\tmissing.png\n");
    const auto failed = runProgram(kBinary, { "--metrics", "perceptual,lab,distance", "bad.txt" });
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(firstRow(failed.out)["b_distance"], "");
    EXPECT_EQ(firstRow(failed.out).size(), 30u);
    const auto alone = runProgram(kBinary, { "--metrics", "distance", "pairs.txt" });
    EXPECT_EQ(alone.status, 2);
    EXPECT_NE(
        alone.err.find("--metrics: expected perceptual, lab or perceptual,lab"), std::string::npos)
        << alone.err;
}

TEST(ComparePairsDistance, GrowsWithHowFarTheValuesMoved)
{
    // The README's examples. Uniform images: black and white lie 100 L*
    // units apart; grey 128 (L* 53.6, bin 54) lies 3 from grey 136 (bin 57)
    // and 12 from grey 160 (bin 66), while the coefficient is 0 for both;
    // all have J = 100 (each is its own white).
    testsupport::ScopedWorkDir dir;
    for (int grey : { 0, 128, 136, 160, 255 })
        testsupport::writePng(
            "grey" + std::to_string(grey) + ".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(grey)));
    // Every code value of coffee.png times 1.02, and its saturation raised
    // by 20 %.
    const cv::Mat coffee = cv::imread(kSamples + "/coffee.png");
    testsupport::writePng("times-1.02.png", scaled(coffee, 1.02));
    testsupport::writePng("saturated.png", saturated(coffee, 1.2));
    writeText("pairs.txt",
        "grey0.png\tgrey255.png\ngrey128.png\tgrey136.png\ngrey128.png\tgrey160.png\n" + kSamples
            + "/coffee.png\ttimes-1.02.png\n" + kSamples + "/coffee.png\tsaturated.png\n");
    const auto run = runProgram(kBinary, { "--metrics", "perceptual,lab,distance", "pairs.txt" });
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = lines(run.out);
    ASSERT_EQ(rows.size(), 6u);
    std::vector<std::map<std::string, std::string>> table;
    for (std::size_t k = 1; k < rows.size(); ++k)
        table.push_back(firstRow(rows[0] + "\n" + rows[k]));
    const std::vector<std::vector<std::string>> expected
        = { // L, L_distance, J, J_distance, C, C_distance
              { "0", "100", "1", "0" }, { "0", "3", "1", "0" }, { "0", "12", "1", "0" },
              { "0.99335", "0.848667", "0.99939", "0.0624792", "0.997364", "0.0888417" },
              { "0.994311", "1.09905", "0.999404", "0.0626792", "0.940641", "0.466304" }
          };
    const char* names[] = { "L", "L_distance", "J", "J_distance", "C", "C_distance" };
    for (std::size_t row = 0; row < expected.size(); ++row)
        for (std::size_t k = 0; k < expected[row].size(); ++k)
            EXPECT_EQ(table[row][names[k]], expected[row][k])
                << "line " << row + 1 << " " << names[k];
}

TEST(ComparePairs, PixelLimitOption)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("small.png", testsupport::makePhoto(10, 10, 50));
    testsupport::writePng("two-mp.png", cv::Mat(1000, 2000, CV_8UC3, cv::Scalar::all(90)));
    writeText("pairs.txt", "small.png\ttwo-mp.png\nsmall.png\tsmall.png\n");
    const auto limited = runProgram(kBinary, { "--max-megapixels", "1", "pairs.txt" });
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(
        limited.out.find("2000 x 1000 pixels (2 megapixels), above the limit of 1 megapixels"),
        std::string::npos)
        << limited.out;
    EXPECT_NE(limited.out.find("small.png,small.png,ok,"), std::string::npos);
    EXPECT_EQ(runProgram(kBinary, { "--max-megapixels", "3", "pairs.txt" }).status, 0);
    EXPECT_EQ(runProgram(kBinary, { "--max-megapixels", "0", "pairs.txt" }).status, 2);
}

TEST(ComparePairs, ProfilesFactsAndTheCoefficientsBehindAb)
{
    testsupport::ScopedWorkDir dir;
    // 48 pure white pixels of 768 on darker colours: the top lightness bin.
    cv::Mat plain = testsupport::makePhoto(24, 32, 5) * 0.7;
    plain(cv::Rect(4, 4, 8, 6)).setTo(cv::Scalar::all(255));
    testsupport::writePng("plain.png", plain);
    const std::string rocket = kSamples + "/rocket.jpg";
    writeText("pairs.txt", rocket + "\tplain.png\n");
    for (const std::string profiles : { "convert", "ignore" }) {
        const auto run = runProgram(kBinary, { "--profiles", profiles, "pairs.txt" });
        ASSERT_EQ(run.status, 0) << run.err;
        const auto row = fields(lines(run.out).at(1));
        ASSERT_EQ(row.size(), 22u);
        // Q..ab: what the single-pair programs print when reading the same way.
        std::string single;
        for (const std::string& binary : { kMetrics, kLab })
            single += runProgram("/bin/sh",
                { "-c",
                    "TOOLKIT_PROFILES=" + profiles + " " + binary + " " + rocket + " plain.png" })
                          .out;
        std::string figures = row[3];
        for (int c = 4; c <= 9; ++c)
            figures += (c == 8 ? "\n" : ",") + row[c];
        EXPECT_EQ(figures + "\n", single);

        // a and b from every pixel's L*a*b*; ab, as lab-compare prints it, is their mean.
        toolkit::common::ReadOptions reading;
        toolkit::common::parseProfileHandling(profiles, reading.profiles);
        labcompare::LabCounts counts[2];
        for (int i = 0; i < 2; ++i) {
            std::string error;
            labcompare::labHistogramsPerPixel(
                toolkit::common::readPhotograph(
                    i == 0 ? rocket : "plain.png", error, nullptr, reading),
                counts[i].L, counts[i].a, counts[i].b);
        }
        const float a = toolkit::common::bhattacharyyaCoeff(counts[0].a, counts[1].a);
        const float b = toolkit::common::bhattacharyyaCoeff(counts[0].b, counts[1].b);
        std::ostringstream printed;
        printed << a << "," << b << "," << static_cast<double>(a + b) / 2.0;
        EXPECT_EQ(row[10] + "," + row[11] + "," + row[9], printed.str());

        const std::string rocketReading = profiles == "convert"
            ? "converted to sRGB from \"Adobe RGB (1998)\""
            : "profile \"Adobe RGB (1998)\" ignored";
        EXPECT_EQ(std::vector<std::string>(row.begin() + 12, row.end()),
            (std::vector<std::string> { "640x427", "8", "Adobe RGB (1998)", rocketReading, row[16],
                "32x24", "8", "", "as stored", "0.0625" }));
    }
}

TEST(ComparePairs, EarlierTablesAreNeitherResumedNorMixedWithNewOnes)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(2);
    writeText("pairs.txt", names[0] + "\t" + names[1] + "\n");
    // Refused before any work, the table as it was, even its last row cut short.
    const std::string earlier = kEarlierHeader + "a,b,ok,1,1,1,1,1,1,1\nc,d,ok,1";
    writeText("earlier.csv", earlier);
    const auto resumed = runProgram(kBinary, { "--out", "earlier.csv", "--resume", "pairs.txt" });
    EXPECT_EQ(resumed.status, 2);
    EXPECT_EQ(readFile("earlier.csv"), earlier);
    EXPECT_NE(resumed.err.find("written by an earlier compare-pairs"), std::string::npos);
    EXPECT_NE(resumed.err.find("start a new table with --out"), std::string::npos);

    // Earlier tables merge among themselves; a mix is refused, naming the odd one.
    writeText("earlier-0.csv", kEarlierHeader + "a,b,ok,1,1,1,1,1,1,1\n");
    writeText("earlier-1.csv", kEarlierHeader + "c,d,error: x,,,,,,,\n");
    const auto merged = runProgram(kBinary, { "--merge", "earlier-0.csv", "earlier-1.csv" });
    EXPECT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out, kEarlierHeader + "a,b,ok,1,1,1,1,1,1,1\nc,d,error: x,,,,,,,\n");
    ASSERT_EQ(runProgram(kBinary, { "--out", "new.csv", "pairs.txt" }).status, 0);
    for (const auto& [first, odd] : { std::make_pair("earlier-0.csv", "new.csv"),
             std::make_pair("new.csv", "earlier-0.csv") }) {
        const auto mixed = runProgram(kBinary, { "--merge", "--out", "mixed.csv", first, odd });
        EXPECT_EQ(mixed.status, 2);
        EXPECT_FALSE(testsupport::fileExists("mixed.csv"));
        EXPECT_EQ(mixed.err.rfind("compare-pairs: the table \"" + std::string(odd) + "\"", 0), 0u)
            << mixed.err;
        EXPECT_NE(mixed.err.find("earlier compare-pairs"), std::string::npos) << mixed.err;
    }
}

// A list read through a file of `text`, all lines of one shard.
static std::vector<comparepairs::PairLine> readList(const std::string& text)
{
    writeText("list.txt", text);
    comparepairs::PairReader reader;
    std::string error;
    EXPECT_TRUE(reader.open("list.txt", error)) << error;
    std::vector<comparepairs::PairLine> read;
    comparepairs::PairLine line;
    while (reader.next(comparepairs::Shard {}, line))
        read.push_back(line);
    EXPECT_EQ(reader.error(), "");
    return read;
}

TEST(PairList, LongLinesAndNulBytesAreMalformedAndTheListGoesOn)
{
    testsupport::ScopedWorkDir dir;
    const std::string longLine(comparepairs::kMaxLineBytes + 10, 'x');
    const std::string atLimit = std::string(comparepairs::kMaxLineBytes - 6, 'y') + "\tb.png";
    const auto read = readList("a.png\tb.png\n" + longLine + "\n"
        + std::string("c.png\0evil\tb.png\n", 17) + atLimit + "\r\nlast.png\tb.png");
    ASSERT_EQ(read.size(), 5u);
    EXPECT_EQ(read[0].error, "");
    EXPECT_NE(read[1].error.find("longer than 65536 bytes"), std::string::npos);
    EXPECT_EQ(read[1].first.size(), comparepairs::kLongLineKept);
    EXPECT_NE(read[2].error.find("NUL"), std::string::npos);
    EXPECT_EQ(read[3].error, "") << "a line at the limit, ended by \\r\\n, is a pair";
    EXPECT_EQ(read[3].second, "b.png");
    EXPECT_EQ(read[4].number, 5u);
    EXPECT_EQ(read[4].first, "last.png");
}

TEST(Table, TextThatIsNotUtf8IsEscapedAndRecognised)
{
    EXPECT_EQ(comparepairs::tableText("caf\xc3\xa9 \\ 1.png"), "caf\xc3\xa9 \\ 1.png");
    EXPECT_EQ(comparepairs::tableText("caf\xe9 \\1.png"), "caf\\xE9 \\\\1.png");
    EXPECT_EQ(comparepairs::tableText(std::string("a\0b", 3)), "a\\x00b");
    // Overlong forms and surrogates are not UTF-8.
    EXPECT_EQ(comparepairs::tableText("\xc0\xaf\xed\xa0\x80"), "\\xC0\\xAF\\xED\\xA0\\x80");

    EXPECT_EQ(comparepairs::textCell("=cmd|'/c calc'!A1", true), "'=cmd|'/c calc'!A1");
    EXPECT_EQ(comparepairs::textCell("-1.png", false), "-1.png");
    EXPECT_EQ(comparepairs::textCell("a,b.png", true), "\"a,b.png\"");
    EXPECT_TRUE(comparepairs::isCellOf("'@x.png", "@x.png"));
    EXPECT_TRUE(comparepairs::isCellOf("@x.png", "@x.png"));
    EXPECT_TRUE(comparepairs::isCellOf("\\xE9.png", "\xe9.png"));
    EXPECT_FALSE(comparepairs::isCellOf("'x.png", "x.png"));
}

TEST(ComparePairs, EveryListLineHasOneRowThroughResumes)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(4);
    // A malformed line, a line with a NUL byte, a path that is not UTF-8 and
    // one a spreadsheet would take for a formula.
    fs::copy_file(names[1], "caf\xe9.png");
    fs::copy_file(names[2], "=2.png");
    const std::string list = names[0] + "\t" + names[1] + "\njust-one-field\n"
        + std::string("img0.png\0x\timg1.png\n", 20) + "caf\xe9.png\t" + names[3] + "\n=2.png\t"
        + names[0] + "\n" + names[2] + "\t" + names[3] + "\n";
    writeText("pairs.txt", list);
    ASSERT_EQ(runProgram(kBinary, { "--out", "full.csv", "pairs.txt" }).status, 1);
    const std::string full = readFile("full.csv");
    const auto rows = lines(full);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[3].rfind("img0.png\\x00x\timg1.png,,error: line 3: holds a NUL byte", 0), 0u);
    EXPECT_EQ(rows[4].rfind("caf\\xE9.png,img3.png,ok,", 0), 0u) << rows[4];
    EXPECT_EQ(rows[5].rfind("=2.png,img0.png,ok,", 0), 0u);

    // Resumed again and again, the malformed lines keep their one row.
    writeText("table.csv", kHeader + rows[1] + "\n" + rows[2] + "\n" + rows[3] + "\n");
    for (int k = 0; k < 3; ++k) {
        const auto resumed = runProgram(kBinary, { "--out", "table.csv", "--resume", "pairs.txt" });
        EXPECT_EQ(resumed.status, 1) << resumed.err;
        EXPECT_EQ(readFile("table.csv"), full);
    }

    // With safe cells the formula is quoted, and the table still resumes.
    const auto safe = runProgram(kBinary, { "--safe-cells", "pairs.txt" });
    EXPECT_EQ(lines(safe.out)[5].rfind("'=2.png,img0.png,ok,", 0), 0u);
    writeText("safe.csv", lines(safe.out)[0] + "\n" + lines(safe.out)[1] + "\n");
    EXPECT_EQ(runProgram(kBinary, { "--safe-cells", "--out", "safe.csv", "--resume", "pairs.txt" })
                  .status,
        1);
    EXPECT_EQ(readFile("safe.csv"), safe.out);

    // A table of another list is refused, and left as it is.
    writeText("other.txt", names[2] + "\t" + names[3] + "\n" + list);
    const auto other = runProgram(kBinary, { "--out", "table.csv", "--resume", "other.txt" });
    EXPECT_EQ(other.status, 2);
    EXPECT_NE(other.err.find("row 1"), std::string::npos) << other.err;
    writeText("short.txt", names[0] + "\t" + names[1] + "\n");
    EXPECT_EQ(runProgram(kBinary, { "--out", "table.csv", "--resume", "short.txt" }).status, 2);
    EXPECT_EQ(readFile("table.csv"), full);
}

TEST(ComparePairs, MergeChecksTheTablesAgainstTheList)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(4);
    writeText("pairs.txt", longList(names, 7) + "malformed\n" + names[0] + "\t" + names[1] + "\n");
    ASSERT_EQ(runProgram(kBinary, { "--out", "full.csv", "pairs.txt" }).status, 1);
    for (int k = 0; k < 3; ++k)
        runProgram(kBinary,
            { "--shard", std::to_string(k) + "/3", "--out", "s" + std::to_string(k) + ".csv",
                "pairs.txt" });

    // With the list, the rows come in its order, whatever the order of the tables.
    const auto merged
        = runProgram(kBinary, { "--merge", "--list", "pairs.txt", "s2.csv", "s0.csv", "s1.csv" });
    EXPECT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out, readFile("full.csv"));

    // A shard cut at a row boundary: only the list can tell.
    const auto shard1 = lines(readFile("s1.csv"));
    writeText("cut.csv", shard1[0] + "\n" + shard1[1] + "\n");
    const auto cut
        = runProgram(kBinary, { "--merge", "--list", "pairs.txt", "s0.csv", "cut.csv", "s2.csv" });
    EXPECT_EQ(cut.status, 2);
    EXPECT_NE(cut.err.find("has no row"), std::string::npos) << cut.err;
    EXPECT_EQ(cut.out, "");

    // The same shard twice, by name or as a copy; an unclosed quote.
    EXPECT_EQ(runProgram(kBinary, { "--merge", "s0.csv", "s1.csv", "s0.csv" }).status, 2);
    fs::copy_file("s0.csv", "copy.csv");
    const auto twice = runProgram(kBinary, { "--merge", "s0.csv", "copy.csv" });
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("same rows"), std::string::npos) << twice.err;
    EXPECT_EQ(runProgram(kBinary,
                  { "--merge", "--list", "pairs.txt", "s0.csv", "s1.csv", "s2.csv", "copy.csv" })
                  .status,
        2);
    writeText("quote.csv", shard1[0] + "\n\"" + shard1[1] + "\n");
    EXPECT_EQ(runProgram(kBinary, { "--merge", "quote.csv" }).status, 2);

    // Standard input is a table too.
    const auto piped = runProgram(
        "/bin/sh", { "-c", kBinary + " --merge --list pairs.txt s0.csv - s2.csv < s1.csv" });
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, readFile("full.csv"));
}

TEST(ComparePairs, AFailedTableWriteLeavesWholeRows)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(3);
    writeText("pairs.txt", longList(names, 60));
    ASSERT_EQ(runProgram(kBinary, { "--out", "full.csv", "pairs.txt" }).status, 0);
    const std::string full = readFile("full.csv");

    auto check = [&](const std::string& table, const testsupport::RunResult& run) {
        EXPECT_EQ(run.status, 1) << table << ": " << run.err;
        const std::string written = readFile(table);
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written.back(), '\n');
        EXPECT_EQ(full.compare(0, written.size(), written), 0);
        const std::size_t rows = lines(written).size() - 1;
        ASSERT_LT(rows, 60u);
        EXPECT_NE(run.err.find(std::to_string(rows) + " pairs: " + std::to_string(rows) + " ok"),
            std::string::npos)
            << run.err;
        EXPECT_NE(
            run.err.find("the table holds " + std::to_string(rows) + " rows"), std::string::npos)
            << run.err;
    };

    // A file-size limit of 4 KiB (dash counts in blocks of 512 bytes).
    const auto limited = runProgram(
        "/bin/sh", { "-c", "ulimit -f 8; exec " + kBinary + " --out limited.csv pairs.txt" });
    check("limited.csv", limited);
    const auto resumed = runProgram(kBinary, { "--out", "limited.csv", "--resume", "pairs.txt" });
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(readFile("limited.csv"), full);

    // A full file system: a tmpfs of one page, where this machine lets us mount one.
    fs::create_directory("small");
    if (::geteuid() != 0
        || runProgram("/bin/mount", { "-t", "tmpfs", "-o", "size=4k", "tmpfs", "small" }).status
            != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const auto fullDisk = runProgram(kBinary, { "--out", "small/t.csv", "pairs.txt" });
    check("small/t.csv", fullDisk);
    runProgram("/bin/umount", { "small" });
}

TEST(ComparePairs, SignalsStopARunWaitingOnItsList)
{
    testsupport::ScopedWorkDir dir;
    // The list comes from a pipe whose writer never writes.
    int list[2];
    ASSERT_EQ(::pipe(list), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(list[0], 0);
        ::close(list[1]);
        const int err = ::open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, 2);
        ::execl(
            kBinary.c_str(), kBinary.c_str(), "--out", "out.csv", "-", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(list[0]);
    waitForRows("out.csv", 0);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(list[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
    EXPECT_NE(readFile("err.txt").find("interrupted"), std::string::npos);

    // A list that cannot be read to its end is an error, not its end.
    const auto unreadable = runProgram("/bin/sh", { "-c", kBinary + " - < ." });
    EXPECT_EQ(unreadable.status, 2);
    EXPECT_NE(unreadable.err.find("cannot read the list from standard input"), std::string::npos)
        << unreadable.err;

    // A FIFO as the table or as "For_fit.txt" is refused at once.
    writePhotos(2);
    writeText("pairs.txt", "img0.png\timg1.png\n");
    ASSERT_EQ(::mkfifo("fifo", 0644), 0);
    ASSERT_EQ(::mkfifo("For_fit.txt", 0644), 0);
    EXPECT_EQ(runProgram(kBinary, { "--out", "fifo", "pairs.txt" }).status, 2);
    EXPECT_EQ(runProgram(kBinary, { "--for-fit", "pairs.txt" }).status, 2);
    const auto lab = runProgram(kLab, { "img0.png", "img1.png" });
    EXPECT_EQ(lab.status, 1);
    EXPECT_NE(lab.err.find("not a regular file"), std::string::npos) << lab.err;
}

TEST(ComparePairs, ReportDirectoryIsTakenOnlyWhenNewEmptyOrAReport)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(2);
    writeText("pairs.txt", names[0] + "\t" + names[1] + "\n");
    fs::create_directories("mine/img");
    writeText("mine/index.html", "my page");
    writeText("mine/img/1-first.jpg", "my picture");
    writeText("file", "a file");
    fs::create_directory("img-file");
    writeText("img-file/img", "a file named img");
    // Refused before any work: no table made, the files as they were.
    for (const std::string target : { "mine", "mine/", "file", "img-file", "missing/report" }) {
        const auto run = runProgram(kBinary, { "--report", target, "--out", "t.csv", "pairs.txt" });
        EXPECT_EQ(run.status, 2) << target << ": " << run.err;
        const std::string named = target.substr(0, target.find_last_not_of('/') + 1);
        EXPECT_NE(run.err.find("report's directory \"" + named + "\""), std::string::npos)
            << run.err;
        EXPECT_FALSE(testsupport::fileExists("t.csv")) << target;
    }
    EXPECT_EQ(entries("mine"), (std::vector<std::string> { "img", "index.html" }));
    EXPECT_EQ(readFile("mine/index.html"), "my page");
    EXPECT_EQ(readFile("file"), "a file");
    EXPECT_EQ(entries("img-file"), std::vector<std::string> { "img" });

    // A run refused for another reason makes no directory, not even a hidden one.
    writeText("table.csv", kHeader + "a,b,ok\n");
    const auto before = entries(".");
    for (const auto& args : std::vector<std::vector<std::string>> {
             { "--resume", "--out", "t.csv", "pairs.txt" }, { "--metrics", "hue", "pairs.txt" },
             { "missing-list.txt" }, { "--out", "table.csv", "pairs.txt" } }) {
        std::vector<std::string> all = { "--report", "new" };
        all.insert(all.end(), args.begin(), args.end());
        const auto run = runProgram(kBinary, all);
        EXPECT_EQ(run.status, 2) << args[0] << ": " << run.err;
        EXPECT_EQ(entries("."), before) << args[0];
    }
    const auto resumed
        = runProgram(kBinary, { "--report", "r", "--resume", "--out", "t.csv", "pairs.txt" });
    EXPECT_NE(resumed.err.find("--report cannot be used with --resume"), std::string::npos)
        << resumed.err;

    // An empty directory becomes a report.
    fs::create_directory("empty");
    ASSERT_EQ(runProgram(kBinary, { "--report", "empty", "pairs.txt" }).status, 0);
    EXPECT_EQ(entries("empty"),
        (std::vector<std::string> { ".compare-pairs-report", "img", "index.html" }));
}

TEST(ComparePairs, AnEarlierReportIsReplacedWholeOrLeftAsItWas)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(3);
    writeText("pairs.txt", longList(names, 2));
    writeEarlierReport("report");
    fs::create_directory_symlink("report", "link");
    fs::create_directory("For_fit.txt");
    const auto before = entries(".");
    // Files the run reads or writes are never in the directory it replaces.
    fs::copy_file("pairs.txt", "report/pairs.txt");
    for (const auto& args : std::vector<std::vector<std::string>> { { "report/pairs.txt" },
             { "--out", "link/table.csv", "pairs.txt" },
             { "--debug-dir", "report/d", "pairs.txt" } }) {
        std::vector<std::string> all = { "--report", "report" };
        all.insert(all.end(), args.begin(), args.end());
        const auto run = runProgram(kBinary, all);
        EXPECT_EQ(run.status, 2) << args.back();
        EXPECT_NE(run.err.find("replaces whole"), std::string::npos) << run.err;
    }
    fs::remove("report/pairs.txt");
    EXPECT_EQ(readFile("report/index.html"), "earlier");
    const auto run = runProgram(kBinary, { "--report", "link", "pairs.txt" });
    ASSERT_EQ(run.status, 0) << run.err;
    // Through the link, the directory it names is replaced; nothing else is left.
    EXPECT_EQ(entries("."), before);
    EXPECT_TRUE(fs::is_symlink("link"));
    EXPECT_EQ(entries("report"),
        (std::vector<std::string> { ".compare-pairs-report", "img", "index.html" }));
    EXPECT_EQ(entries("report/img"),
        (std::vector<std::string> { "1-first.jpg", "1-lightness.jpg", "1-mask.jpg", "1-second.jpg",
            "2-first.jpg", "2-lightness.jpg", "2-mask.jpg", "2-second.jpg" }));
    const std::string report = readFile("report/index.html");
    EXPECT_NE(report.find("compare-pairs: 2 pairs"), std::string::npos);

    // A run that fails before its report is finished leaves the earlier
    // report as it was and no directory of its own: a page larger than the
    // files the process may write, or "For_fit.txt" that cannot be written
    // (refused before the run starts).
    for (const auto& [command, status] : std::vector<std::pair<std::string, int>> {
             { "prlimit --fsize=6000 " + kBinary + " --report report", 1 },
             { kBinary + " --for-fit --report report", 2 } }) {
        const auto failed = runProgram("/bin/sh", { "-c", command + " pairs.txt" });
        EXPECT_EQ(failed.status, status) << failed.err;
        EXPECT_EQ(readFile("report/index.html"), report) << command;
        EXPECT_EQ(entries("report/img").size(), 8u);
        EXPECT_EQ(entries("."), before) << command;
    }
}

TEST(ComparePairs, ReportFilesThatCannotBeWrittenAreNamedOnce)
{
    testsupport::ScopedWorkDir dir;
    // Noise: thumbnails (about 28 kB) larger than the page that shows them
    // (about 21 kB).
    cv::Mat noise(240, 240, CV_8UC3);
    cv::randu(noise, 0, 256);
    testsupport::writePng("noise.png", noise);
    writeText("pairs.txt", "noise.png\tnoise.png\n");
    const auto run = runProgram("/bin/sh",
        { "-c", "prlimit --fsize=25000 " + kBinary + " --metrics lab --report report pairs.txt" });
    EXPECT_EQ(run.status, 1) << run.err;
    // Both thumbnails fail alike: one warning, naming the first.
    EXPECT_EQ(
        run.err.find(
            "compare-pairs: warning: cannot write \"report/img/1-first.jpg\": File too large"),
        0u)
        << run.err;
    EXPECT_EQ(run.err.find("warning", run.err.find('\n')), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("1 pair: 1 ok, 0 failed"), std::string::npos) << run.err;
    // The report is there, without the pictures.
    const std::string index = readFile("report/index.html");
    EXPECT_NE(index.find("compare-pairs: 1 pairs"), std::string::npos);
    EXPECT_EQ(index.find("<img"), std::string::npos);
    EXPECT_TRUE(entries("report/img").empty());
}

TEST(ComparePairs, AnInterruptedRunPutsTheReportOfThePairsDoneInPlace)
{
    testsupport::ScopedWorkDir dir;
    const auto names = writePhotos(100, 120, 160);
    writeText("pairs.txt", longList(names, 300));
    writeEarlierReport("report");
    const auto before = entries(".");
    const pid_t pid = spawn({ "-j", "1", "--report", "report", "--out", "table.csv", "pairs.txt" });
    waitForRows("table.csv", 3);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    const std::size_t rows = lines(readFile("table.csv")).size() - 1;
    ASSERT_LT(rows, 300u);
    // The report holds the pairs of the table, and nothing of the earlier one.
    const std::string index = readFile("report/index.html");
    EXPECT_NE(index.find("compare-pairs: " + std::to_string(rows) + " pairs"), std::string::npos);
    EXPECT_FALSE(testsupport::fileExists("report/page-2.html"));
    EXPECT_FALSE(testsupport::fileExists("report/img/900-mask.jpg"));
    EXPECT_TRUE(testsupport::fileExists("report/img/" + std::to_string(rows) + "-mask.jpg"));
    auto withTable = before;
    withTable.push_back("table.csv");
    std::sort(withTable.begin(), withTable.end());
    EXPECT_EQ(entries("."), withTable);
}
