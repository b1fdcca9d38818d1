#include "toolkit/color/ConeSpaces.hpp"

#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace toolkit::color;

namespace {

// Float rounding of a 3 x 3 product followed by log10, pow10 or companding.
constexpr double kFloatTol = 1e-5;
// a* and b* are 500 and 200 times a difference of float cube roots near 1.
constexpr double kLabChromaTol = 1e-3;
// The published LMS-to-RGB matrix inverts the RGB-to-LMS one only to about
// three digits (its product with it is off the identity by up to 0.0072).
constexpr double kPublishedInverseTol = 0.01;

cv::Mat photo(unsigned seed)
{
    cv::Mat img8 = testsupport::makePhoto(24, 32, seed), img(24, 32, CV_32FC3);
    toolkit::common::normImg(img8, img);
    return img;
}

cv::Mat pixel(float a, float b, float c)
{
    return cv::Mat(1, 1, CV_32FC3, cv::Scalar(double(a), double(b), double(c)));
}

cv::Mat linearised(const cv::Mat& img)
{
    cv::Mat out = img.clone();
    out.reshape(1).forEach<float>([](float& v, const int*) { v = sRGBInverseCompanding(v); });
    return out;
}

const cv::Mat kDisplayWhite = pixel(1, 1, 1);

} // namespace

TEST(ConeSpacesConversion, WalksOnlyTheGivenBoundsAndWorksInPlace)
{
    const cv::Mat M = (cv::Mat_<float>(3, 3) << 1, 2, 3, 0, 1, 0, -1, 0, 1);
    const cv::Mat src = photo(1);
    cv::Mat dst(src.size(), CV_32FC3, cv::Scalar::all(-7));
    conversion(src, dst, M, 2, 3);
    const cv::Vec3f s = src.at<cv::Vec3f>(1, 2), d = dst.at<cv::Vec3f>(1, 2);
    EXPECT_EQ(d, cv::Vec3f(s[0] + 2 * s[1] + 3 * s[2], s[1], s[2] - s[0]));
    EXPECT_EQ(dst.at<cv::Vec3f>(2, 0), cv::Vec3f(-7, -7, -7)) << "row outside the bounds written";
    EXPECT_EQ(dst.at<cv::Vec3f>(0, 3), cv::Vec3f(-7, -7, -7))
        << "column outside the bounds written";

    cv::Mat inPlace = src.clone(), outOfPlace(src.size(), CV_32FC3);
    conversion(src, outOfPlace, M, src.rows, src.cols);
    conversion(inPlace, inPlace, M, src.rows, src.cols);
    EXPECT_TRUE(testsupport::near(inPlace, outOfPlace, 0.0));
}

TEST(ConeSpaces, BlackWhiteGreyAndPrimaries)
{
    cv::Mat lms(1, 1, CV_32FC3), lab(1, 1, CV_32FC3), linear(1, 1, CV_32FC3), bgr(1, 1, CV_32FC3);
    // Black: a zero response is offset to 1e-6 before the logarithm.
    convertBGRtoLMS(pixel(0, 0, 0), lms);
    EXPECT_TRUE(testsupport::near(lms, pixel(-6, -6, -6), kFloatTol));
    convertLMStoLab(lms, lab);
    EXPECT_TRUE(testsupport::near(lab, pixel(-6 * std::sqrt(3.0f), 0, 0), kFloatTol));
    convertLabtoLMS(lab, linear);
    EXPECT_TRUE(testsupport::near(linear, pixel(1e-6f, 1e-6f, 1e-6f), 1e-10));
    // About 1e-6 times the inverse's row sums (up to 1.0103), companded at slope 12.92.
    convertLMStoBGR(linear, bgr);
    EXPECT_TRUE(testsupport::near(bgr, pixel(0, 0, 0), 12.92 * 1.0103e-6 * 1.001));

    // White: the logarithms of the matrix's row sums; neutral in l-alpha-beta.
    convertBGRtoLMS(kDisplayWhite, lms);
    EXPECT_TRUE(testsupport::near(
        lms, pixel(std::log10(0.9996f), std::log10(0.9993f), std::log10(0.9973f)), kFloatTol));

    // YUV works on display values: white is (1, 0, 0), grey 0.5 has Y = 0.5, and
    // pure blue reaches the extremes U = 0.886, V = -0.114 (BT.601 weights).
    cv::Mat yuv(1, 1, CV_32FC3), opponent(1, 1, CV_32FC2);
    convertBGRtoYUV(kDisplayWhite, yuv);
    EXPECT_TRUE(testsupport::near(yuv, pixel(1, 0, 0), kFloatTol));
    convertBGRtoYUV(pixel(0.5f, 0.5f, 0.5f), yuv);
    EXPECT_TRUE(testsupport::near(yuv, pixel(0.5f, 0, 0), kFloatTol));
    convertBGRtoYUV(pixel(1, 0, 0), yuv);
    EXPECT_TRUE(testsupport::near(yuv, pixel(0.114f, 0.886f, -0.114f), kFloatTol));
    convertToSimpleOpponentSpace(pixel(0, 0, 1), opponent);
    EXPECT_EQ(opponent.at<cv::Vec2f>(0, 0), cv::Vec2f(1, 0.5f));
}

TEST(ConeSpaces, LalphabetaFollowsItsDefinitionAndInvertsToClippedLinearLms)
{
    cv::Mat lab(1, 1, CV_32FC3);
    convertLMStoLab(pixel(0, -1, -2), lab);
    EXPECT_TRUE(testsupport::near(
        lab, pixel(-3 / std::sqrt(3.0f), 3 / std::sqrt(6.0f), 1 / std::sqrt(2.0f)), kFloatTol));

    // Log-LMS x comes back as min(max(10^x, 0), 1): positive logs clip to 1.
    const cv::Mat logs
        = (cv::Mat_<cv::Vec3f>(1, 2) << cv::Vec3f(-3, -0.5f, 0.25f), cv::Vec3f(0.5f, 0, -1));
    cv::Mat lalphabeta(1, 2, CV_32FC3), back(1, 2, CV_32FC3);
    convertLMStoLab(logs, lalphabeta);
    convertLabtoLMS(lalphabeta, back);
    const cv::Mat expected
        = (cv::Mat_<cv::Vec3f>(1, 2) << cv::Vec3f(1e-3f, std::pow(10.0f, -0.5f), 1),
            cv::Vec3f(1, 1, 0.1f));
    EXPECT_TRUE(testsupport::near(back, expected, kFloatTol));
}

TEST(ConeSpaces, PhotoRoundTripThroughLmsAndLalphabeta)
{
    const cv::Mat original = photo(3), untouched = original.clone();
    cv::Mat logLms(original.size(), CV_32FC3), lab(original.size(), CV_32FC3);
    cv::Mat linear(original.size(), CV_32FC3), bgr(original.size(), CV_32FC3);
    convertBGRtoLMS(original, logLms);
    EXPECT_TRUE(testsupport::near(original, untouched, 0.0));
    convertLMStoLab(logLms, lab);
    convertLabtoLMS(lab, linear);
    cv::Mat expected;
    cv::exp(logLms * std::log(10.0), expected);
    EXPECT_TRUE(testsupport::near(linear, expected, kFloatTol));

    convertLMStoBGR(linear, bgr);
    EXPECT_TRUE(testsupport::near(linearised(bgr), linearised(original), kPublishedInverseTol));
}

TEST(ConeSpaces, InverseConversionsWalkTheirOutput)
{
    // Larger sources; the outputs are 2 x 3 views into a sentinel canvas, so
    // walking the source's extent instead would overwrite the sentinel.
    const cv::Mat big = photo(4) * 0.5 - cv::Scalar::all(1.0);
    cv::Mat fullLms(big.size(), CV_32FC3), fullBgr(big.size(), CV_32FC3);
    convertLabtoLMS(big, fullLms);
    convertLMStoBGR(fullLms, fullBgr);

    const cv::Rect corner(0, 0, 3, 2);
    cv::Mat canvas(big.size(), CV_32FC3, cv::Scalar::all(-7));
    cv::Mat view = canvas(corner);
    convertLabtoLMS(big, view);
    EXPECT_TRUE(testsupport::near(view, fullLms(corner), 0.0));
    view.setTo(cv::Scalar::all(-7));
    convertLMStoBGR(fullLms, view);
    EXPECT_TRUE(testsupport::near(view, fullBgr(corner), 0.0));
    view.setTo(cv::Scalar::all(-7));
    EXPECT_TRUE(testsupport::near(canvas, cv::Mat(big.size(), CV_32FC3, cv::Scalar::all(-7)), 0.0));
}

TEST(ConeSpacesCieLab, WhiteBlackMidGreyAndPhotoRoundTrip)
{
    cv::Mat lab(1, 1, CV_32FC3), bgr(1, 1, CV_32FC3);
    cv::Mat white = kDisplayWhite.clone();
    convertBGRToLab(white, kDisplayWhite, lab);
    EXPECT_TRUE(testsupport::near(lab, pixel(100, 0, 0), kLabChromaTol));
    convertLabToBGR(pixel(100, 0, 0), kDisplayWhite, bgr);
    EXPECT_TRUE(testsupport::near(bgr, kDisplayWhite, kFloatTol));

    cv::Mat black = pixel(0, 0, 0);
    convertBGRToLab(black, kDisplayWhite, lab);
    EXPECT_TRUE(testsupport::near(lab, pixel(0, 0, 0), kFloatTol));

    // Mid grey: L* = 116 Y^(1/3) - 16 for its linear value Y, and the input is
    // left linearised.
    cv::Mat grey = pixel(0.5f, 0.5f, 0.5f);
    convertBGRToLab(grey, kDisplayWhite, lab);
    const float Y = sRGBInverseCompanding(0.5f);
    EXPECT_TRUE(testsupport::near(lab, pixel(116 * std::cbrt(Y) - 16, 0, 0), kLabChromaTol));
    EXPECT_TRUE(testsupport::near(grey, pixel(Y, Y, Y), 0.0));

    const cv::Mat original = photo(5), reference = pixel(0.9f, 1.0f, 0.8f);
    cv::Mat image = original.clone(), labs(original.size(), CV_32FC3),
            back(original.size(), CV_32FC3);
    convertBGRToLab(image, reference, labs);
    convertLabToBGR(labs, reference, back);
    EXPECT_TRUE(testsupport::near(back, original, kFloatTol));
}

TEST(ConeSpacesCieLab, InverseLightnessSwitchesToTheCubeAboveKappaEpsilon)
{
    // CIE: Y = L* / kappa below kappa epsilon, ((L* + 16) / 116)^3 above; a grey
    // L* thus displays as the companded Y (white D50, so Y is the linear grey).
    const auto greyFor = [](float L) {
        cv::Mat bgr(1, 1, CV_32FC3);
        convertLabToBGR(pixel(L, 0, 0), kDisplayWhite, bgr);
        return bgr;
    };
    const float Y4 = static_cast<float>(4.0 / 903.3);
    EXPECT_TRUE(testsupport::near(
        greyFor(4), pixel(1, 1, 1) * static_cast<double>(sRGBCompanding(Y4)), kFloatTol));
    const float Y50 = std::pow(66.0f / 116.0f, 3.0f);
    EXPECT_TRUE(testsupport::near(
        greyFor(50), pixel(1, 1, 1) * static_cast<double>(sRGBCompanding(Y50)), kFloatTol));

    // Both branches meet at the switch point 7.9996248 (Y = epsilon).
    const float below = std::nextafter(7.9996248f, 0.0f),
                above = std::nextafter(7.9996248f, 100.0f);
    const cv::Mat atSwitch = pixel(1, 1, 1) * static_cast<double>(sRGBCompanding(0.008856f));
    EXPECT_TRUE(testsupport::near(greyFor(below), atSwitch, 1e-6));
    EXPECT_TRUE(testsupport::near(greyFor(above), atSwitch, 1e-6));
}
