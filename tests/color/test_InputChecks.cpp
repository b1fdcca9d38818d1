// Wrong matrices given to the colour functions must raise cv::Exception
// before any pixel is touched: an empty image, another type or channel count,
// a destination or per-pixel plane of another size (run under the sanitizers,
// an overrun fails). A few valid calls show the checks let legitimate
// arguments through.
#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/BrightnessSeries.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/ConeSpaces.hpp"
#include "toolkit/color/IlluminantAdaptation.hpp"
#include "toolkit/color/InverseModel.hpp"
#include "toolkit/color/LocalAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/color/WhitePoint.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>

namespace color = toolkit::color;

namespace {

void expectRaises(const std::function<void()>& call, const char* what)
{
    EXPECT_THROW(call(), cv::Exception) << what;
}

// A 4 x 5 image, its smaller and its one-channel variants, and a white.
struct Inputs {
    cv::Mat empty;
    cv::Mat image { 4, 5, CV_32FC3, cv::Scalar::all(0.5) };
    cv::Mat small { 3, 5, CV_32FC3, cv::Scalar::all(0.5) };
    cv::Mat bytes { 4, 5, CV_8UC3, cv::Scalar::all(128) };
    cv::Mat plane { 4, 5, CV_32FC1, cv::Scalar(1) };
    cv::Mat narrow { 4, 4, CV_32FC1, cv::Scalar(1) };
    cv::Mat white { 1, 1, CV_32FC3, cv::Scalar::all(1) };
    cv::Mat out { 4, 5, CV_32FC3 };
};

} // namespace

TEST(ColorInputChecks, RgbXyzConversions)
{
    Inputs in;
    cv::Mat M = cv::Mat::eye(3, 3, CV_32FC1), xy(1, 1, CV_32FC2);
    expectRaises([&] { color::convertBGRtoXYZ(in.empty, in.white, in.out); }, "empty image");
    expectRaises([&] { color::convertBGRtoXYZ(in.bytes, in.white, in.out); }, "8-bit image");
    expectRaises([&] { color::convertBGRtoXYZ(in.image, in.white, in.small); }, "small xyz");
    expectRaises([&] { color::convertBGRtoXYZ(in.image, in.empty, in.out); }, "empty white");
    expectRaises([&] { color::convertXYZtoBGR(in.image, in.plane, in.out); }, "grey white");
    expectRaises([&] { color::convertBGRToXYZDirect(in.image, in.small); }, "direct, small");
    expectRaises([&] { color::convertXYZToBGRDirect(in.plane, in.out); }, "direct, grey");
    expectRaises([&] { color::multiplyImageByMatrixForward(in.image, in.out, in.plane); }, "4x5 M");
    expectRaises([&] { color::multiplyImageByMatrixBackward(in.image, in.out, in.empty); }, "no M");
    cv::Mat doubles = cv::Mat::eye(3, 3, CV_64FC1);
    expectRaises([&] { color::multiplyImageByMatrixForward(in.image, in.out, doubles); }, "double");
    expectRaises([&] { color::product(in.white, M, 3); }, "row 3");
    expectRaises([&] { color::product(in.plane, M, 0); }, "one-channel vector");
    expectRaises([&] { color::XYZtoxy(in.white, in.white); }, "xy of three channels");
    expectRaises([&] { color::xytoXYZ(in.empty, 1.0f, in.white); }, "empty xy");
    expectRaises([&] { color::getRGBtoXYZMatrix(in.bytes, M); }, "8-bit white");

    // Valid calls, in place included, give what they gave before.
    cv::Mat xyz(in.image.size(), CV_32FC3), back = in.image.clone();
    color::convertBGRToXYZDirect(in.image, xyz);
    color::convertXYZToBGRDirect(xyz, xyz);
    EXPECT_LE(cv::norm(xyz, back, cv::NORM_INF), 1e-5);
    color::XYZtoxy(in.white, xy);
    EXPECT_FLOAT_EQ(xy.at<cv::Vec2f>(0, 0)[0], 1.0f / 3.0f);
}

TEST(ColorInputChecks, ConeSpaces)
{
    Inputs in;
    cv::Mat M = cv::Mat::eye(3, 3, CV_32FC1), opponent(4, 5, CV_32FC2);
    expectRaises([&] { color::conversion(in.image, in.small, M, 4, 5); }, "dst too small");
    expectRaises([&] { color::conversion(in.small, in.out, M, 4, 5); }, "src too small");
    expectRaises([&] { color::conversion(in.image, in.out, M, -1, 5); }, "negative rows");
    expectRaises([&] { color::convertToSimpleOpponentSpace(in.image, in.out); }, "3-channel out");
    expectRaises([&] { color::convertBGRtoLMS(in.empty, in.out); }, "empty");
    expectRaises([&] { color::convertLMStoLab(in.image, in.small); }, "small lab");
    expectRaises([&] { color::convertLabtoLMS(in.small, in.out); }, "lms larger than lab");
    expectRaises([&] { color::convertLMStoBGR(in.bytes, in.out); }, "8-bit lms");
    expectRaises([&] { color::convertBGRtoYUV(in.image, in.small); }, "small yuv");
    expectRaises([&] { color::convertBGRToLab(in.image, in.plane, in.out); }, "grey white");
    expectRaises([&] { color::convertLabToBGR(in.image, in.white, in.small); }, "small image");

    // A destination larger than the rows x cols converted is accepted, and so
    // is an output smaller than the source where the output is walked.
    cv::Mat large(6, 6, CV_32FC3, cv::Scalar::all(7));
    color::conversion(in.image, large, M, 4, 5);
    EXPECT_EQ(large.at<cv::Vec3f>(3, 4), cv::Vec3f(0.5f, 0.5f, 0.5f));
    EXPECT_EQ(large.at<cv::Vec3f>(5, 5), cv::Vec3f(7.0f, 7.0f, 7.0f));
    color::convertLabtoLMS(in.image, in.small);
    color::convertToSimpleOpponentSpace(in.image, opponent);
    EXPECT_EQ(opponent.at<cv::Vec2f>(0, 0), cv::Vec2f(0.0f, 0.0f));
}

TEST(ColorInputChecks, ChromaticAdaptation)
{
    Inputs in;
    expectRaises([&] { color::convertXYZtoSharpenedBGR(in.image, in.small); }, "small");
    expectRaises([&] { color::convertSharpenedBGRtoXYZ(in.plane, in.out); }, "grey");
    cv::Mat image = in.image.clone();
    expectRaises([&] { color::CAT(image, in.empty, in.white, 1.0f, in.empty); }, "empty white");
    cv::Mat white8(1, 1, CV_8UC3, cv::Scalar::all(255));
    expectRaises([&] { color::CAT(image, in.white, white8, 1.0f, in.empty); }, "8-bit white");
    expectRaises([&] { color::inverseCAT(in.image, in.small, in.out, in.out); }, "small white");
    expectRaises([&] { color::inverseCAT(in.image, in.out, in.out, in.small); }, "small out");
    expectRaises([&] { color::iCAMCAT(image, in.small, in.white, in.empty, in.empty, 1, false); },
        "iCAMCAT, small source white");
    expectRaises([&] { color::iCAMCAT(image, in.out, in.white, in.empty, in.empty, 1, true); },
        "iCAMCAT, one destination white for every pixel");
    cv::Mat mask(4, 5, CV_8UC1, cv::Scalar(1)), floatMask(4, 5, CV_32FC1);
    expectRaises(
        [&] {
            color::iCAMCATLocal(image, in.out, in.white, in.empty, in.empty, floatMask, 1, false);
        },
        "float mask");
    expectRaises(
        [&] { color::iCAMCATLocal(image, in.out, in.empty, in.empty, in.empty, mask, 1, false); },
        "empty destination white");
    expectRaises([&] { color::iCAMCATByD65(image, in.small, in.empty); }, "D65, small white");
    expectRaises([&] { color::inverseCATByD65(in.bytes, in.image, in.empty); }, "D65, 8-bit");
    EXPECT_TRUE(cv::norm(image, in.image, cv::NORM_INF) == 0.0) << "a refused call changed pixels";

    // A larger per-pixel white covers the image; one white for all is (0, 0).
    cv::Mat sharpened(4, 5, CV_32FC3, cv::Scalar::all(1)),
        larger(5, 6, CV_32FC3, cv::Scalar::all(1));
    color::iCAMCATByD65(image, larger, in.empty);
    color::inverseCATByD65(image, larger, in.empty);
    EXPECT_LE(cv::norm(image, in.image, cv::NORM_INF), 1e-6);
    color::iCAMCAT(image, sharpened, in.white, in.empty, in.empty, 1.0f, false);
    EXPECT_LE(cv::norm(image, in.image, cv::NORM_INF), 1e-6);
}

TEST(ColorInputChecks, WhitePointAndIlluminantAdaptation)
{
    Inputs in;
    cv::Mat white(1, 1, CV_32FC3), state(1, 1, CV_32FC3, cv::Scalar::all(0)), grey(1, 1, CV_32FC1);
    expectRaises([&] { color::computeWhitePointFromGrayWorld(in.empty, white, state, in.empty); },
        "empty image");
    expectRaises([&] { color::computeWhitePointFromGrayWorld(in.image, grey, state, in.empty); },
        "one-channel white");
    expectRaises(
        [&] { color::computeWhitePointFromGrayWorld(in.image, white, in.empty, in.empty); },
        "no state");
    expectRaises([&] { color::adaptXYZToNewWhitePoint(grey, in.white); }, "one-channel xyzWhite");
    expectRaises([&] { color::adaptXYZToNewWhitePoint(white, in.empty); }, "empty reference");
    cv::Mat image = in.image.clone();
    expectRaises([&] { color::performIlluminantAdaptation(image, in.bytes, 1.0f); }, "8-bit ref");
    expectRaises([&] { color::performIlluminantAdaptation(in.empty, in.image, 1.0f); }, "empty");

    color::adaptXYZToNewWhitePoint(white, in.white);
    EXPECT_NEAR(white.at<cv::Vec3f>(0, 0)[0], 0.9642f, 1e-4);
}

TEST(ColorInputChecks, AppearanceModelSteps)
{
    Inputs in;
    cv::Mat a(4, 5, CV_32FC1), b(4, 5, CV_32FC1), J(4, 5, CV_32FC1), C(4, 5, CV_32FC1);
    expectRaises([&] { color::computeYback(in.image); }, "Yback of a colour image");
    EXPECT_TRUE(std::isnan(color::computeYback(in.empty)));
    expectRaises([&] { color::convertSharpenedBGRtoHPE(in.image, in.small); }, "HPE, small");
    expectRaises([&] { color::computeNonLinearities(in.image, in.out, in.narrow); }, "narrow FL");
    expectRaises([&] { color::computeNonLinearities(in.image, in.out, in.empty); }, "empty FL");
    expectRaises([&] { color::computeAB(in.plane, a, b); }, "AB of a plane");
    expectRaises([&] { color::computeHue(a, in.narrow, J, C); }, "hue, narrow b");
    expectRaises([&] { color::computeLightnessValues(in.image, in.plane, in.narrow, J, C); },
        "lightness, narrow z");
    expectRaises([&] { color::computeBrightnessValues(J, in.image, C, 100.0f); }, "colour FL");
    expectRaises(
        [&] {
            color::computeChromaValues(
                in.image, a, b, J, in.plane, in.plane, in.narrow, C, 0.8f, in.plane);
        },
        "chroma, narrow n");
    expectRaises(
        [&] {
            color::computeChromaValues(
                in.small, a, b, J, in.plane, in.plane, in.plane, C, 0.8f, in.plane);
        },
        "chroma, small compressed image");
    expectRaises([&] { color::computeColorfulness(C, in.narrow, J); }, "narrow FL");
    expectRaises([&] { color::computeSaturation(in.empty, C, J); }, "empty M");

    // The forward steps on valid planes.
    cv::Mat nonlin(4, 5, CV_32FC3, cv::Scalar(1, 2, 3));
    color::computeAB(nonlin, a, b);
    EXPECT_FLOAT_EQ(b.at<float>(3, 4), (1.0f + 2.0f - 6.0f) / 9.0f);
}

TEST(ColorInputChecks, InverseModelSteps)
{
    Inputs in;
    cv::Mat J(4, 5, CV_32FC1, cv::Scalar(50)), t(4, 5, CV_32FC1), power, terms;
    std::ostringstream printed;
    expectRaises([&] { color::brightness2Lightness(in.plane, in.narrow, J, 10.0f); }, "narrow FL");
    expectRaises([&] { color::chromaAndLightness2tValues(in.plane, J, in.narrow, t); }, "narrow n");
    expectRaises([&] { color::chromaPower(in.image, power); }, "power of a colour image");
    color::chromaPower(in.plane, power);
    expectRaises(
        [&] { color::chromaPowerAndLightness2t(in.plane, J, in.plane, t); }, "float power");
    expectRaises([&] { color::lightness2A(J, in.narrow, t, 10.0f, printed); }, "narrow z");
    expectRaises([&] { color::hueTerms(in.empty, terms); }, "empty hue");
    color::hueTerms(in.plane, terms);
    cv::Mat a(4, 5, CV_32FC1), b(4, 4, CV_32FC1);
    expectRaises(
        [&] { color::hueTerms2AB(J, terms, t, in.plane, in.plane, a, b, 0.8f); }, "narrow b");
    expectRaises(
        [&] { color::hue2AB(J, in.narrow, t, in.plane, in.plane, a, a, 0.8f); }, "narrow hue");
    expectRaises([&] { color::AB2NonLinearities(a, a, J, in.small, in.plane); }, "small out");
    expectRaises(
        [&] { color::inverseNonLinearities(in.small, in.out, in.plane, printed); }, "small in");
    expectRaises([&] { color::convertHPEtoSharpenedRGB(in.image, in.small); }, "small out");
    EXPECT_EQ(printed.str(), "");

    // Lightness to A is the inverse of the forward J: J = 100 gives Aw.
    J.setTo(cv::Scalar(100));
    color::lightness2A(J, in.plane, t, 10.0f, printed);
    EXPECT_FLOAT_EQ(t.at<float>(3, 4), 10.0f);
}

TEST(ColorInputChecks, LocalAdaptationAndBrightnessSeries)
{
    testsupport::ScopedWorkDir dir;
    Inputs in;
    cv::Mat image = in.image.clone(), dst(4, 4, CV_32FC1);
    std::ostringstream printed;
    expectRaises([&] { color::performLocalCAMCA(image, in.empty, 0.5f); }, "empty reference");
    expectRaises([&] { color::performLocalCAMCA(in.bytes, in.image, 0.5f); }, "8-bit image");
    expectRaises(
        [&] { color::performGammaCorrectionByStyle(in.plane, dst, 1, 2, printed); }, "narrow dst");
    expectRaises([&] { color::performGammaCorrectionByStyle(in.image, in.out, 1, 2, printed); },
        "colour planes");
    cv::Mat exposures[6];
    expectRaises([&] { color::increaseBrightness(in.plane, exposures, 10.0f); }, "grey image");
    expectRaises([&] { color::increaseBrightness(image, nullptr, 10.0f); }, "no exposures");
    EXPECT_EQ(printed.str(), "");

    cv::Mat out(4, 5, CV_32FC1);
    color::performGammaCorrectionByStyle(in.plane, out, 1.0f, 10.0f, printed);
    EXPECT_EQ(printed.str(), "Gamma: 2\n");
    EXPECT_EQ(out.at<float>(3, 4), 1.0f);
}
