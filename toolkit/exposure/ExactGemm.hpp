// The single-precision matrix product of the BLAS (sgemm_), with the
// reference implementation's arithmetic: for every element of the result the
// same products and sums in the same order, each rounded to float, so its
// results are the reference BLAS's bit for bit (where two NaNs meet, the NaN
// a result carries may be the other one). It is blocked for registers and the
// cache, which makes it several times faster than the reference loops.
//
// The programs that link the toolkit export this sgemm_, so that LAPACK's SVD
// behind OpenCV's Debevec calibration calls it instead of the system's BLAS:
// the calibration takes less time and gives the reference BLAS's results
// whichever BLAS the system provides. Arguments the reference would reject
// (or a transposition it does not know) go to the system's sgemm_, which
// reports them.
// Internal to toolkit/exposure.
#pragma once

extern "C" {

// C := alpha op(A) op(B) + beta C, column-major, op(X) = X ("N") or X^T ("T",
// "C"), as the BLAS documents it.
void sgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
    const float* alpha, const float* a, const int* lda, const float* b, const int* ldb,
    const float* beta, float* c, const int* ldc);

} // extern "C"

namespace toolkit {
namespace exposure {
namespace blas {

// Called by the calibration, so that a program that calibrates links (and
// exports) the product above. Does nothing.
void useExactGemm();

// The system's own sgemm_ (the next definition after this one), or null when
// the process has none.
using GemmFunction
    = void (*)(const char*, const char*, const int*, const int*, const int*, const float*,
        const float*, const int*, const float*, const int*, const float*, float*, const int*);
GemmFunction systemGemm();

} // namespace blas
} // namespace exposure
} // namespace toolkit
