#include "toolkit/exposure/ExactGemm.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using toolkit::exposure::blas::GemmFunction;

// The reference BLAS's own sgemm_, from the library itself.
GemmFunction referenceGemm()
{
    void* library = ::dlopen("libblas.so.3", RTLD_NOW | RTLD_LOCAL);
    return library ? reinterpret_cast<GemmFunction>(::dlsym(library, "sgemm_")) : nullptr;
}

// Values that tell orders and special cases apart: wide magnitudes, exact
// zeros of both signs, and now and then a NaN or an infinity.
std::vector<float> operand(std::size_t count, std::mt19937& random, bool specials)
{
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    std::uniform_int_distribution<int> scale(-20, 20), kind(0, 99);
    std::vector<float> out(count);
    for (float& v : out) {
        const int k = kind(random);
        if (k < 8)
            v = k < 4 ? 0.0f : -0.0f;
        else if (specials && k == 8)
            v = std::numeric_limits<float>::quiet_NaN();
        else if (specials && k == 9)
            v = std::numeric_limits<float>::infinity();
        else
            v = std::ldexp(value(random), scale(random));
    }
    return out;
}

// The same bits, except that any NaN matches any NaN: where two NaNs meet,
// which one an addition or product carries on depends on the order in which
// the compiler placed its operands.
bool sameBits(const std::vector<float>& x, const std::vector<float>& y, std::string& where)
{
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i]) && std::isnan(y[i]))
            continue;
        if (std::memcmp(&x[i], &y[i], sizeof(float)) != 0) {
            where = "element " + std::to_string(i) + ": " + std::to_string(x[i]) + " against "
                + std::to_string(y[i]);
            return false;
        }
    }
    return true;
}

} // namespace

// Every transposition, sizes around the blocks (8 rows by 4 columns) and
// beyond, padded leading dimensions, and the alpha and beta the reference
// treats apart (0 and 1): the same bits as the reference BLAS.
TEST(ExactGemm, GivesTheReferenceBlasBitsForEveryForm)
{
    const GemmFunction reference = referenceGemm();
    if (reference == nullptr)
        GTEST_SKIP() << "no libblas.so.3 on this machine";
    std::mt19937 random(7);
    const char* forms[] = { "NN", "NT", "TN", "TT", "nt", "CN", "Tc" };
    const int sizes[] = { 0, 1, 3, 4, 8, 9, 13, 33 };
    const float scalars[] = { 0.0f, 1.0f, -1.0f, 0.37f, -2.5f };
    int cases = 0;
    for (const char* form : forms) {
        for (int m : sizes) {
            for (int n : { 1, 4, 7, 12 }) {
                for (int k : { 0, 1, 5, 40 }) {
                    const float alpha = scalars[(m + n + k) % 5];
                    const float beta = scalars[(m * 3 + n + k * 7) % 5];
                    const bool transA = form[0] != 'N' && form[0] != 'n';
                    const bool transB = form[1] != 'N' && form[1] != 'n';
                    const int lda = (transA ? k : m) + 2, ldb = (transB ? n : k) + 1, ldc = m + 3;
                    const bool specials = (m + n) % 3 == 0;
                    const std::vector<float> a
                        = operand(std::size_t(lda) * (transA ? m : k) + 1, random, specials);
                    const std::vector<float> b
                        = operand(std::size_t(ldb) * (transB ? k : n) + 1, random, specials);
                    std::vector<float> expected = operand(std::size_t(ldc) * n, random, specials);
                    std::vector<float> actual = expected;
                    reference(&form[0], &form[1], &m, &n, &k, &alpha, a.data(), &lda, b.data(),
                        &ldb, &beta, expected.data(), &ldc);
                    sgemm_(&form[0], &form[1], &m, &n, &k, &alpha, a.data(), &lda, b.data(), &ldb,
                        &beta, actual.data(), &ldc);
                    std::string where;
                    EXPECT_TRUE(sameBits(actual, expected, where))
                        << form << " m " << m << " n " << n << " k " << k << " alpha " << alpha
                        << " beta " << beta << ": " << where;
                    ++cases;
                }
            }
        }
    }
    EXPECT_EQ(cases, 7 * 8 * 4 * 4);
}

// A product of the size the calibration's SVD asks for, without specials.
TEST(ExactGemm, LargeProductsMatchTheReference)
{
    const GemmFunction reference = referenceGemm();
    if (reference == nullptr)
        GTEST_SKIP() << "no libblas.so.3 on this machine";
    std::mt19937 random(11);
    for (const char* form : { "NN", "NT", "TN" }) {
        const int m = 331, n = 97, k = 326;
        const bool transA = form[0] == 'T', transB = form[1] == 'T';
        const int lda = transA ? k : m, ldb = transB ? n : k, ldc = m;
        const float alpha = -1.0f, beta = 1.0f;
        const std::vector<float> a = operand(std::size_t(lda) * (transA ? m : k), random, false);
        const std::vector<float> b = operand(std::size_t(ldb) * (transB ? k : n), random, false);
        std::vector<float> expected = operand(std::size_t(ldc) * n, random, false);
        std::vector<float> actual = expected;
        reference(&form[0], &form[1], &m, &n, &k, &alpha, a.data(), &lda, b.data(), &ldb, &beta,
            expected.data(), &ldc);
        sgemm_(&form[0], &form[1], &m, &n, &k, &alpha, a.data(), &lda, b.data(), &ldb, &beta,
            actual.data(), &ldc);
        std::string where;
        EXPECT_TRUE(sameBits(actual, expected, where)) << form << ": " << where;
    }
}
