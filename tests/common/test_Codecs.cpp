#include "toolkit/common/Codecs.hpp"

#include "tests/support/TestSupport.hpp"

#include <opencv2/imgcodecs.hpp>

#include <vector>

namespace codecs = toolkit::common::codecs;

// Through the module, OpenCV's own codecs: the same bytes encoded, the same
// pixels decoded, for lossy and lossless formats alike.
TEST(CodecsModule, GivesOpenCvsOwnBytesAndPixels)
{
    const cv::Mat photo = testsupport::makePhoto(21, 34, 15);
    for (const char* ext : { ".jpg", ".png", ".bmp", ".webp", ".tiff" }) {
        std::vector<uchar> ours, theirs;
        ASSERT_TRUE(codecs::imencode(ext, photo, ours)) << ext;
        ASSERT_TRUE(cv::imencode(ext, photo, theirs)) << ext;
        EXPECT_TRUE(ours == theirs) << ext;
        for (const int flags : { int(cv::IMREAD_COLOR), int(cv::IMREAD_UNCHANGED) }) {
            const cv::Mat decoded = codecs::imdecode(ours, flags);
            const cv::Mat expected = cv::imdecode(theirs, flags);
            ASSERT_EQ(decoded.type(), expected.type()) << ext;
            EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0.0) << ext;
        }
    }
}

// What OpenCV raises comes back as OpenCV raised it (an unknown format to
// encode, no bytes to decode); what it cannot decode is an empty image, as
// from cv::imdecode.
TEST(CodecsModule, PassesOpenCvsErrorsOnUnchanged)
{
    const cv::Mat photo = testsupport::makePhoto(8, 8, 3);
    std::vector<uchar> encoded;
    std::string ours, theirs;
    int ourCode = 0, theirCode = 1;
    try {
        codecs::imencode(".no-such-format", photo, encoded);
    } catch (const cv::Exception& e) {
        ours = e.what();
        ourCode = e.code;
    }
    try {
        cv::imencode(".no-such-format", photo, encoded);
    } catch (const cv::Exception& e) {
        theirs = e.what();
        theirCode = e.code;
    }
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(ourCode, theirCode);

    const std::vector<uchar> noise(100, 0x5a);
    EXPECT_TRUE(codecs::imdecode(noise, cv::IMREAD_COLOR).empty());
    EXPECT_THROW(codecs::imdecode(std::vector<uchar>(), cv::IMREAD_COLOR), cv::Exception);
}
