#include "toolkit/exposure/ExactGemm.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// Four floats, added and multiplied lane by lane with IEEE rounding, exactly
// as four scalar operations would be.
using Lanes = float __attribute__((vector_size(16)));

inline Lanes load(const float* p)
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(float* p, Lanes v)
{
    std::memcpy(p, &v, sizeof v);
}

inline Lanes splat(float x)
{
    return Lanes { x, x, x, x };
}

// A block of the result held in registers: 8 rows (two lanes of four) by 4
// columns.
constexpr int kBlockRows = 8;
constexpr int kBlockCols = 4;

bool isTransposed(char t)
{
    return t == 'T' || t == 't' || t == 'C' || t == 'c';
}

bool isKnown(char t)
{
    return t == 'N' || t == 'n' || isTransposed(t);
}

struct Product {
    bool transA, transB;
    int m, n, k;
    float alpha, beta;
    const float* a;
    std::ptrdiff_t lda;
    const float* b;
    std::ptrdiff_t ldb;
    float* c;
    std::ptrdiff_t ldc;

    // Element (l, j) of op(B), (i, l) of A and (l, i) of A.
    float opB(int l, int j) const { return transB ? b[j + l * ldb] : b[l + j * ldb]; }
    const float* aColumn(int l) const { return a + l * lda; }
    float aAt(int l, int i) const { return a[l + i * lda]; }
    float* cColumn(int j) const { return c + j * ldc; }
};

// C := beta C for one column, as the reference starts a column of the A op(B)
// form: zero for beta = 0 (whatever C held), untouched for beta = 1.
void startColumn(float* column, int m, float beta)
{
    if (beta == 0.0f) {
        std::fill(column, column + m, 0.0f);
    } else if (beta != 1.0f) {
        for (int i = 0; i < m; ++i)
            column[i] = beta * column[i];
    }
}

// C := alpha A op(B) + beta C. Every element takes, for l = 0, 1, ..., k - 1
// in turn, C + (alpha op(B)(l, j)) A(i, l): the reference's order.
void productOfA(const Product& p)
{
    for (int j = 0; j < p.n; ++j)
        startColumn(p.cColumn(j), p.m, p.beta);

    int j0 = 0;
    for (; j0 + kBlockCols <= p.n; j0 += kBlockCols) {
        int i0 = 0;
        for (; i0 + kBlockRows <= p.m; i0 += kBlockRows) {
            Lanes low[kBlockCols], high[kBlockCols];
            for (int jj = 0; jj < kBlockCols; ++jj) {
                low[jj] = load(p.cColumn(j0 + jj) + i0);
                high[jj] = load(p.cColumn(j0 + jj) + i0 + 4);
            }
            for (int l = 0; l < p.k; ++l) {
                const float* column = p.aColumn(l) + i0;
                const Lanes a0 = load(column);
                const Lanes a1 = load(column + 4);
                for (int jj = 0; jj < kBlockCols; ++jj) {
                    const Lanes temp = splat(p.alpha * p.opB(l, j0 + jj));
                    low[jj] = low[jj] + temp * a0;
                    high[jj] = high[jj] + temp * a1;
                }
            }
            for (int jj = 0; jj < kBlockCols; ++jj) {
                store(p.cColumn(j0 + jj) + i0, low[jj]);
                store(p.cColumn(j0 + jj) + i0 + 4, high[jj]);
            }
        }
        // The last rows, one at a time.
        for (int jj = 0; jj < kBlockCols; ++jj) {
            float* column = p.cColumn(j0 + jj);
            for (int l = 0; l < p.k; ++l) {
                const float temp = p.alpha * p.opB(l, j0 + jj);
                const float* a = p.aColumn(l);
                for (int i = i0; i < p.m; ++i)
                    column[i] = column[i] + temp * a[i];
            }
        }
    }
    // The last columns, as the reference runs them.
    for (int j = j0; j < p.n; ++j) {
        float* column = p.cColumn(j);
        for (int l = 0; l < p.k; ++l) {
            const float temp = p.alpha * p.opB(l, j);
            const float* a = p.aColumn(l);
            for (int i = 0; i < p.m; ++i)
                column[i] = column[i] + temp * a[i];
        }
    }
}

// The end of an element of the A^T op(B) form from its sum.
inline float finishDot(float sum, float alpha, float beta, float c)
{
    return beta == 0.0f ? alpha * sum : alpha * sum + beta * c;
}

// C := alpha A^T op(B) + beta C. Every element is a sum from zero of
// A(l, i) op(B)(l, j) for l = 0, 1, ..., k - 1 in turn, then alpha sum, plus
// beta C unless beta is 0: the reference's order.
void productOfATransposed(const Product& p)
{
    // Eight columns of A laid out l by l, so that a block's rows are adjacent.
    std::vector<float> panel(static_cast<std::size_t>(p.k) * kBlockRows);
    int i0 = 0;
    for (; i0 + kBlockRows <= p.m; i0 += kBlockRows) {
        for (int l = 0; l < p.k; ++l)
            for (int ii = 0; ii < kBlockRows; ++ii)
                panel[static_cast<std::size_t>(l) * kBlockRows + ii] = p.aAt(l, i0 + ii);
        int j0 = 0;
        for (; j0 + kBlockCols <= p.n; j0 += kBlockCols) {
            Lanes low[kBlockCols], high[kBlockCols];
            for (int jj = 0; jj < kBlockCols; ++jj)
                low[jj] = high[jj] = splat(0.0f);
            for (int l = 0; l < p.k; ++l) {
                const float* rows = panel.data() + static_cast<std::size_t>(l) * kBlockRows;
                const Lanes a0 = load(rows);
                const Lanes a1 = load(rows + 4);
                for (int jj = 0; jj < kBlockCols; ++jj) {
                    const Lanes bv = splat(p.opB(l, j0 + jj));
                    low[jj] = low[jj] + a0 * bv;
                    high[jj] = high[jj] + a1 * bv;
                }
            }
            for (int jj = 0; jj < kBlockCols; ++jj) {
                float sums[kBlockRows];
                store(sums, low[jj]);
                store(sums + 4, high[jj]);
                float* column = p.cColumn(j0 + jj);
                for (int ii = 0; ii < kBlockRows; ++ii)
                    column[i0 + ii] = finishDot(sums[ii], p.alpha, p.beta, column[i0 + ii]);
            }
        }
        for (int j = j0; j < p.n; ++j) {
            float* column = p.cColumn(j);
            for (int ii = 0; ii < kBlockRows; ++ii) {
                float sum = 0.0f;
                for (int l = 0; l < p.k; ++l)
                    sum = sum + panel[static_cast<std::size_t>(l) * kBlockRows + ii] * p.opB(l, j);
                column[i0 + ii] = finishDot(sum, p.alpha, p.beta, column[i0 + ii]);
            }
        }
    }
    // The last rows, as the reference runs them.
    for (int j = 0; j < p.n; ++j) {
        float* column = p.cColumn(j);
        for (int i = i0; i < p.m; ++i) {
            float sum = 0.0f;
            for (int l = 0; l < p.k; ++l)
                sum = sum + p.aAt(l, i) * p.opB(l, j);
            column[i] = finishDot(sum, p.alpha, p.beta, column[i]);
        }
    }
}

} // namespace

void toolkit::exposure::blas::useExactGemm() { }

toolkit::exposure::blas::GemmFunction toolkit::exposure::blas::systemGemm()
{
    static const GemmFunction next = reinterpret_cast<GemmFunction>(::dlsym(RTLD_NEXT, "sgemm_"));
    return next;
}

extern "C" void sgemm_(const char* transa, const char* transb, const int* m, const int* n,
    const int* k, const float* alpha, const float* a, const int* lda, const float* b,
    const int* ldb, const float* beta, float* c, const int* ldc)
{
    const bool transA = isTransposed(*transa);
    const bool transB = isTransposed(*transb);
    const int rowsA = transA ? *k : *m;
    const int rowsB = transB ? *n : *k;
    const bool valid = isKnown(*transa) && isKnown(*transb) && *m >= 0 && *n >= 0 && *k >= 0
        && *lda >= std::max(1, rowsA) && *ldb >= std::max(1, rowsB) && *ldc >= std::max(1, *m);
    if (!valid) {
        // The system's BLAS names the wrong argument, as it always has.
        if (const auto next = toolkit::exposure::blas::systemGemm())
            next(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
        return;
    }

    if (*m == 0 || *n == 0 || ((*alpha == 0.0f || *k == 0) && *beta == 1.0f))
        return;
    const Product p { transA, transB, *m, *n, *k, *alpha, *beta, a, *lda, b, *ldb, c, *ldc };
    if (*alpha == 0.0f) {
        for (int j = 0; j < p.n; ++j) {
            float* column = p.cColumn(j);
            if (p.beta == 0.0f)
                std::fill(column, column + p.m, 0.0f);
            else
                for (int i = 0; i < p.m; ++i)
                    column[i] = p.beta * column[i];
        }
        return;
    }
    if (transA)
        productOfATransposed(p);
    else
        productOfA(p);
}
