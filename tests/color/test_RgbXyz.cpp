#include "toolkit/color/RgbXyz.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace toolkit::color;

namespace {

// Float rounding in a 3 x 3 product and its LU inverse (about 1e-7 on values
// near 1), magnified up to 12.92 times by the slope of the transfer curve.
constexpr double kRoundTripTol = 1e-5;
// Reference values printed to four decimals.
constexpr double kFourDecimals = 1e-4;

cv::Mat photo(unsigned seed)
{
    cv::Mat img8 = testsupport::makePhoto(24, 32, seed);
    cv::Mat img(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, img);
    return img;
}

cv::Mat pixel(float a, float b, float c)
{
    return cv::Mat(1, 1, CV_32FC3, cv::Scalar(double(a), double(b), double(c)));
}

const cv::Mat kD65 = pixel(0.9505f, 1.0f, 1.0888f);

} // namespace

// IEC 61966-2-1 transfer curve.

TEST(RgbXyzCompanding, BreakPointsTakeTheLinearBranch)
{
    // The two branches differ there by several float ulps, so exact equality
    // tells which branch ran.
    EXPECT_EQ(sRGBCompanding(0.0031308f), static_cast<float>(double(0.0031308f) * 12.92));
    EXPECT_EQ(sRGBInverseCompanding(0.04045f), static_cast<float>(double(0.04045f) / 12.92));
}

TEST(RgbXyzCompanding, NegativeValuesStayLinearWithoutNaN)
{
    EXPECT_FLOAT_EQ(sRGBCompanding(-0.5f), -6.46f);
    EXPECT_FLOAT_EQ(sRGBInverseCompanding(-0.5f), -0.5f / 12.92f);
}

TEST(RgbXyzCompanding, PublishedValuesAndRoundTrip)
{
    EXPECT_NEAR(sRGBCompanding(1.0f), 1.0f, 1e-6);
    EXPECT_NEAR(sRGBInverseCompanding(1.0f), 1.0f, 1e-6);
    // Mid grey 0.5 is 21.4 % linear; 18 % linear grey displays as 0.4614.
    EXPECT_NEAR(sRGBInverseCompanding(0.5f), 0.214041f, 1e-6);
    EXPECT_NEAR(sRGBCompanding(0.18f), 0.461356f, 1e-6);
    for (int v = 0; v <= 1000; ++v)
        ASSERT_NEAR(sRGBCompanding(sRGBInverseCompanding(v / 1000.0f)), v / 1000.0f, 1e-6) << v;
}

TEST(RgbXyzChromaticity, D65AndBack)
{
    cv::Mat xy(1, 1, CV_32FC2), back(1, 1, CV_32FC3);
    XYZtoxy(kD65, xy);
    // CIE D65 chromaticity (0.3127, 0.3290).
    EXPECT_NEAR(xy.at<cv::Vec2f>(0, 0)[0], 0.3127, kFourDecimals);
    EXPECT_NEAR(xy.at<cv::Vec2f>(0, 0)[1], 0.3290, kFourDecimals);
    xytoXYZ(xy, 1.0f, back);
    EXPECT_TRUE(testsupport::near(back, kD65, 1e-6));
}

TEST(RgbXyzWhiteMatrix, D65GivesTheSRGBMatrixAndMapsDisplayWhiteToTheWhite)
{
    cv::Mat M; // replaced, whatever it held
    getRGBtoXYZMatrix(kD65, M);
    ASSERT_EQ(M.rows, 3);
    ASSERT_EQ(M.type(), CV_32FC1);
    // sRGB/D65 matrix as tabulated by Lindbloom, four decimals.
    const float ref[3][3] = { { 0.4125f, 0.3576f, 0.1804f }, { 0.2127f, 0.7151f, 0.0722f },
        { 0.0193f, 0.1192f, 0.9503f } };
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(M.at<float>(r, c), ref[r][c], kFourDecimals) << r << "," << c;

    // Any white: display white (1, 1, 1) lands on it, in both directions.
    const cv::Mat d50 = pixel(0.9642f, 1.0f, 0.8249f);
    cv::Mat white(1, 1, CV_32FC3, cv::Scalar::all(1)), xyz(1, 1, CV_32FC3), back(1, 1, CV_32FC3);
    convertBGRtoXYZ(white, d50, xyz);
    EXPECT_TRUE(testsupport::near(xyz, d50, 1e-6));
    convertXYZtoBGR(xyz, d50, back);
    EXPECT_TRUE(
        testsupport::near(back, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(1)), kRoundTripTol));
}

TEST(RgbXyzWhiteParametrised, LinearisesItsInputAndClipsItsOutput)
{
    cv::Mat img(1, 1, CV_32FC3, cv::Scalar::all(0.5)), xyz(1, 1, CV_32FC3);
    convertBGRtoXYZ(img, kD65, xyz);
    EXPECT_TRUE(testsupport::near(img, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(0.214041)), 1e-6));

    cv::Mat bright(1, 1, CV_32FC3, cv::Scalar::all(2)), bgr(1, 1, CV_32FC3);
    convertXYZtoBGR(bright, kD65, bgr);
    EXPECT_TRUE(testsupport::near(bgr, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(1)), 0.0));
    convertXYZToBGRDirect(bright, bgr);
    for (int c = 0; c < 3; ++c)
        EXPECT_GT(bgr.at<cv::Vec3f>(0, 0)[c], 1.0f) << "direct back conversion does not clip";
}

TEST(RgbXyzDirect, RowSumsAndInputUntouched)
{
    cv::Mat white(1, 1, CV_32FC3, cv::Scalar::all(1)), xyz(1, 1, CV_32FC3);
    convertBGRToXYZDirect(white, xyz);
    EXPECT_TRUE(testsupport::near(xyz, pixel(0.950467f, 0.9999996f, 1.0889694f), 1e-6));
    EXPECT_EQ(white.at<cv::Vec3f>(0, 0), cv::Vec3f(1, 1, 1));
}

TEST(RgbXyzRoundTrip, BothFamiliesRestoreAPhotoAndKeepBlack)
{
    const cv::Mat original = photo(7);
    cv::Mat xyz(original.size(), CV_32FC3), back(original.size(), CV_32FC3);

    convertBGRToXYZDirect(original, xyz);
    convertXYZToBGRDirect(xyz, back);
    EXPECT_TRUE(testsupport::near(back, original, kRoundTripTol));
    convertXYZToBGRDirect(xyz, xyz); // in place
    EXPECT_TRUE(testsupport::near(xyz, original, kRoundTripTol));

    cv::Mat linearised = original.clone();
    convertBGRtoXYZ(linearised, kD65, xyz);
    convertXYZtoBGR(xyz, kD65, back);
    EXPECT_TRUE(testsupport::near(back, original, kRoundTripTol));
    convertXYZtoBGR(xyz, kD65, xyz); // in place, too
    EXPECT_TRUE(testsupport::near(xyz, original, kRoundTripTol));

    const cv::Mat black(4, 4, CV_32FC3, cv::Scalar::all(0));
    cv::Mat blackXyz(4, 4, CV_32FC3, cv::Scalar::all(7)), blackBack(4, 4, CV_32FC3);
    cv::Mat blackCopy = black.clone();
    convertBGRToXYZDirect(black, blackXyz);
    EXPECT_TRUE(testsupport::near(blackXyz, black, 0.0));
    convertXYZToBGRDirect(blackXyz, blackBack);
    EXPECT_TRUE(testsupport::near(blackBack, black, 0.0));
    convertBGRtoXYZ(blackCopy, kD65, blackXyz);
    EXPECT_TRUE(testsupport::near(blackXyz, black, 0.0));
    convertXYZtoBGR(blackXyz, kD65, blackBack);
    EXPECT_TRUE(testsupport::near(blackBack, black, 0.0));
}

// Channel order of the matrix appliers.

TEST(RgbXyzMatrixAppliers, NonSymmetricMatrixShowsWhereEachComponentGoes)
{
    const cv::Mat M = (cv::Mat_<float>(3, 3) << 1, 2, 3, 4, 5, 6, 7, 8, 10);
    const cv::Mat src = pixel(1, 10, 100); // B, G, R
    cv::Mat dst(1, 1, CV_32FC3);
    multiplyImageByMatrixForward(src, dst, M); // M (R, G, B), natural order
    EXPECT_EQ(dst.at<cv::Vec3f>(0, 0), cv::Vec3f(123, 456, 790));
    multiplyImageByMatrixBackward(src, dst, M); // M (c0, c1, c2), stored reversed
    EXPECT_EQ(dst.at<cv::Vec3f>(0, 0), cv::Vec3f(1087, 654, 321));

    cv::Mat inPlace = src.clone();
    multiplyImageByMatrixForward(inPlace, inPlace, M);
    EXPECT_EQ(inPlace.at<cv::Vec3f>(0, 0), cv::Vec3f(123, 456, 790));
    inPlace = src.clone();
    multiplyImageByMatrixBackward(inPlace, inPlace, M);
    EXPECT_EQ(inPlace.at<cv::Vec3f>(0, 0), cv::Vec3f(1087, 654, 321));
}

TEST(RgbXyzMatrixAppliers, IdentityReversesAndBackwardAfterForwardRestores)
{
    const cv::Mat I = cv::Mat::eye(3, 3, CV_32FC1);
    const cv::Mat img = photo(11);
    cv::Mat reversed(img.size(), CV_32FC3), flipped, back(img.size(), CV_32FC3);
    cv::flip(img.reshape(1, img.rows * img.cols), flipped, 1); // each pixel's channels reversed
    flipped = flipped.reshape(3, img.rows);

    multiplyImageByMatrixForward(img, reversed, I);
    EXPECT_TRUE(testsupport::near(reversed, flipped, 0.0));
    multiplyImageByMatrixBackward(img, back, I);
    EXPECT_TRUE(testsupport::near(back, flipped, 0.0));
    multiplyImageByMatrixBackward(reversed, back, I);
    EXPECT_TRUE(testsupport::near(back, img, 0.0));
}
