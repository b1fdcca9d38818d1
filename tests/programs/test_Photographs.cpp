// The single-pair programs on photographs as phones and tools store them: a
// copy carrying a colour profile measures as its sRGB master does, the
// conversion is said on standard error, and files the programs cannot
// measure are refused in one line of their own, nothing from OpenCV.
#include "tests/support/TaggedImages.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const std::string kSamples = SAMPLES_DIR;
const std::string kPrograms[2] = { PERCEPTUAL_METRICS_BINARY, LAB_COMPARE_BINARY };
// A photograph and its tagged copy differ by the rounding of two 8-bit
// conversions; their histograms must still agree almost everywhere.
constexpr double kTaggedCopyAgreement = 0.99;

std::vector<double> figures(const std::string& line)
{
    std::vector<double> values;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');)
        values.push_back(std::stod(field));
    return values;
}

std::string baseName(const std::string& binary)
{
    return binary.substr(binary.rfind('/') + 1);
}

// Sets an environment variable for the programs this test runs.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value)
        : name_(name)
    {
        ::setenv(name, value, 1);
    }
    ~ScopedVariable() { ::unsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
};

} // namespace

TEST(Photographs, ATaggedCopyMeasuresAsItsMaster)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat master = cv::imread(kSamples + "/coffee.png");
    ASSERT_FALSE(master.empty());
    testimages::writePngWith("p3.png", testimages::toDisplayP3(master),
        { testimages::displayP3Profile(), false, 0, false, {} });
    testsupport::writePng("master.png", master);

    // The README's figures: converted, then read literally.
    const std::string expected[2][2] = { { "1,1,1,0.999999,0.999998\n", "0.999731,0.99881\n" },
        { "0.999856,0.999818,0.960494,0.955196,0.942628\n", "0.998495,0.88726\n" } };
    for (int p = 0; p < 2; ++p) {
        const std::string& binary = kPrograms[p];
        const std::string name = baseName(binary);
        const auto run = testsupport::runProgram(binary, { "master.png", "p3.png" });
        EXPECT_EQ(run.out, expected[0][p]);
        ASSERT_EQ(run.status, 0) << name << run.err;
        EXPECT_EQ(run.err,
            name
                + ": \"p3.png\": converted to sRGB from its colour profile \"Display P3 "
                  "(test)\"\n");
        for (double figure : figures(run.out))
            EXPECT_GE(figure, kTaggedCopyAgreement) << name << ": " << run.out;

        // Read as stored, the copy's colours are those of another photograph.
        ScopedVariable ignore("TOOLKIT_PROFILES", "ignore");
        const auto literal = testsupport::runProgram(binary, { "master.png", "p3.png" });
        ASSERT_EQ(literal.status, 0) << name << literal.err;
        EXPECT_EQ(literal.err, "") << name;
        EXPECT_EQ(literal.out, expected[1][p]);
        EXPECT_LT(figures(literal.out).back(), kTaggedCopyAgreement) << name << ": " << literal.out;
    }
    // Each run appended its figures' block, the standard output's form kept.
    std::ifstream fit("For_fit.txt");
    int lines = 0;
    for (std::string line; std::getline(fit, line); ++lines)
        EXPECT_NO_THROW(std::stod(line)) << line;
    EXPECT_EQ(lines, 2 * (5 + 2));
}

TEST(Photographs, WhatCannotBeMeasuredIsOneLineOfTheProgramsOwn)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("good.png", testsupport::makePhoto(16, 16, 31));
    const std::vector<uchar> tiff = testimages::floatTiff();
    std::ofstream("float.tif", std::ios::binary)
        .write(reinterpret_cast<const char*>(tiff.data()), std::streamsize(tiff.size()));
    std::ofstream("anim.gif", std::ios::binary) << "GIF89a\x01\x00\x01\x00\x00\x00\x00;";
    std::vector<uchar> bmp;
    ASSERT_TRUE(cv::imencode(".bmp", testsupport::makePhoto(40, 40, 32), bmp));
    std::ofstream("cut.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(bmp.data()), std::streamsize(bmp.size() / 2));
    const std::pair<const char*, const char*> cases[] = {
        { "float.tif",
            "a TIFF image of 32-bit floating-point samples: the comparisons take "
            "photographs of 8 or 16 bits a sample" },
        { "anim.gif", "a GIF file: the format is not supported (convert it to PNG, JPEG or TIFF)" },
        { "cut.bmp", "damaged BMP data (the file is cut short)" },
    };
    for (const std::string& binary : kPrograms) {
        const std::string name = baseName(binary);
        for (const auto& [file, reason] : cases) {
            const auto run = testsupport::runProgram(binary, { "good.png", file });
            EXPECT_EQ(run.status, 1) << name << " " << file;
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, name + ": cannot read image \"" + file + "\": " + reason + "\n");
        }
        ScopedVariable wrong("TOOLKIT_PROFILES", "sRGB");
        const auto run = testsupport::runProgram(binary, { "good.png", "good.png" });
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(
            run.err, name + ": TOOLKIT_PROFILES is \"sRGB\": it takes \"convert\" or \"ignore\"\n");
    }
    EXPECT_FALSE(testsupport::fileExists("For_fit.txt"));
}
