#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include "toolkit/guidedfilter/ColourTransfer.hpp"
#include "toolkit/guidedfilter/DebugImages.hpp"
#include "toolkit/guidedfilter/WindowSums.hpp"

#include <algorithm>
#include <utility>
#include <vector>

using toolkit::guidedfilter::boxfilter;
using toolkit::guidedfilter::columnStep;
using toolkit::guidedfilter::DebugImages;
using toolkit::guidedfilter::LaneGroups;
using toolkit::guidedfilter::restartsColumnSums;
using toolkit::guidedfilter::rowSums;
using toolkit::guidedfilter::widen;

namespace {

// The guide as the filter keeps it: a float guide deep-copied, any other
// converted to CV_32F (scale 1, offset 0: values are not rescaled), so it
// never shares pixels with the caller's.
cv::Mat workingGuide(const cv::Mat& I)
{
    if (I.depth() == CV_32F || I.depth() == CV_64F)
        return I.clone();
    cv::Mat result;
    I.convertTo(result, CV_32F, 1.0, 0.0);
    return result;
}

// ---------------------------------------------------------------------------
// The per-pixel model
//
// The planes whose window means the filter takes, in this order. First pass,
// from the guide and p: grey guide I, I I, then p_j, I p_j for every plane j
// of p; colour guide I_r, I_g, I_b, I_r I_r, I_r I_g, I_r I_b, I_g I_g,
// I_g I_b, I_b I_b, then p_j, I_r p_j, I_g p_j, I_b p_j. Second pass, from the
// coefficients: a_j, b_j (grey) or a_r,j, a_g,j, a_b,j, b_j (colour). Every
// product and difference is rounded at T, in the order of the plane-wise
// operations that defined the filter; the sums take the inputs as doubles.

int firstPassPlanes(int guideChannels, int planes)
{
    return guideChannels == 1 ? 2 + 2 * planes : 9 + 4 * planes;
}

// Index of mean(p_0) among the first pass's means.
int meanOfPIndex(int guideChannels)
{
    return guideChannels == 1 ? 2 : 9;
}

template <typename T> void greyInputs(const T* I, const T* p, int planes, double* v)
{
    v[0] = static_cast<double>(I[0]);
    v[1] = static_cast<double>(I[0] * I[0]);
    for (int j = 0; j < planes; ++j) {
        v[2 + 2 * j] = static_cast<double>(p[j]);
        v[3 + 2 * j] = static_cast<double>(I[0] * p[j]);
    }
}

template <typename T> void colourInputs(const T* I, const T* p, int planes, double* v)
{
    const T r = I[0], g = I[1], b = I[2];
    v[0] = static_cast<double>(r);
    v[1] = static_cast<double>(g);
    v[2] = static_cast<double>(b);
    v[3] = static_cast<double>(r * r);
    v[4] = static_cast<double>(r * g);
    v[5] = static_cast<double>(r * b);
    v[6] = static_cast<double>(g * g);
    v[7] = static_cast<double>(g * b);
    v[8] = static_cast<double>(b * b);
    for (int j = 0; j < planes; ++j) {
        v[9 + 4 * j] = static_cast<double>(p[j]);
        v[10 + 4 * j] = static_cast<double>(r * p[j]);
        v[11 + 4 * j] = static_cast<double>(g * p[j]);
        v[12 + 4 * j] = static_cast<double>(b * p[j]);
    }
}

// The inputs of the first means of a row of `width` pixels of the guide
// (guideChannels interleaved) and of p (planes interleaved), `lanes` values
// per pixel.
template <typename T>
void firstInputs(
    const T* I, const T* p, int guideChannels, int planes, int width, int lanes, double* v)
{
    for (int x = 0; x < width; ++x, v += lanes) {
        if (guideChannels == 1)
            greyInputs(I + x, p + x * planes, planes, v);
        else
            colourInputs(I + 3 * x, p + x * planes, planes, v);
    }
}

// The coefficients of one pixel from its first means m into ab (a_j, b_j
// for each plane j): a = cov(I, p) / (var(I) + eps), 0 where that divisor is
// exactly 0 (a flat window has no slope; OpenCV 4 would give inf or NaN),
// b = mean(p) - a mean(I).
template <typename T> void greyCoefficients(const T* m, int planes, T eps, T* ab)
{
    const T meanI = m[0];
    const T var = m[1] - meanI * meanI;
    const T divisor = var + eps;
    for (int j = 0; j < planes; ++j) {
        const T meanP = m[2 + 2 * j];
        const T cov = m[3 + 2 * j] - meanI * meanP;
        const T a = divisor == 0 ? T(0) : cov / divisor;
        ab[2 * j] = a;
        ab[2 * j + 1] = meanP - a * meanI;
    }
}

// The coefficients of one pixel from its first means m into ab (a_r,j,
// a_g,j, a_b,j, b_j for each plane j): a = (Sigma + eps U)^-1 cov(I, p)
// through the cofactors of the symmetric regularised matrix over its
// determinant by expansion along the first row, a singular window
// (determinant exactly 0) getting a zero inverse and so coefficients 0;
// b = mean(p) - a . mean(I). Returns cov(I_r, p) of the last plane.
template <typename T> T colourCoefficients(const T* m, int planes, T eps, T* ab)
{
    const T mR = m[0], mG = m[1], mB = m[2];
    const T covRR = m[3] - mR * mR;
    const T covRG = m[4] - mR * mG;
    const T covRB = m[5] - mR * mB;
    const T covGG = m[6] - mG * mG;
    const T covGB = m[7] - mG * mB;
    const T covBB = m[8] - mB * mB;
    const T sRR = covRR + eps, sGG = covGG + eps, sBB = covBB + eps;
    T inv[6] = { sGG * sBB - covGB * covGB, covGB * covRB - covRG * sBB,
        covRG * covGB - sGG * covRB, sRR * sBB - covRB * covRB, covRB * covRG - sRR * covGB,
        sRR * sGG - covRG * covRG }; // rr, rg, rb, gg, gb, bb
    const T det = inv[0] * sRR + inv[1] * covRG + inv[2] * covRB;
    for (T& e : inv)
        e = det == 0 ? T(0) : e / det;
    const T iRR = inv[0], iRG = inv[1], iRB = inv[2], iGG = inv[3], iGB = inv[4], iBB = inv[5];

    T cR = 0;
    for (int j = 0; j < planes; ++j) {
        const T* mp = m + 9 + 4 * j;
        const T meanP = mp[0];
        cR = mp[1] - mR * meanP;
        const T cG = mp[2] - mG * meanP;
        const T cB = mp[3] - mB * meanP;
        const T aR = iRR * cR + iRG * cG + iRB * cB;
        const T aG = iRG * cR + iGG * cG + iGB * cB;
        const T aB = iRB * cR + iGB * cG + iBB * cB;
        T* out = ab + 4 * j;
        out[0] = aR;
        out[1] = aG;
        out[2] = aB;
        out[3] = meanP - aR * mR - aG * mG - aB * mB;
    }
    return cR;
}

// The output of one pixel from its second means m and its guide values I:
// q_j = mean(a_j) I + mean(b_j), summed over the guide channels in order.
template <typename T> void filterOutput(const T* m, const T* I, int guideChannels, int planes, T* q)
{
    for (int j = 0; j < planes; ++j) {
        const T* mj = m + (guideChannels + 1) * j;
        T sum = mj[0] * I[0];
        for (int c = 1; c < guideChannels; ++c)
            sum = sum + mj[c] * I[c];
        q[j] = sum + mj[guideChannels];
    }
}

// ---------------------------------------------------------------------------
// The pass

// The whole filter of every plane of p under the guide, in one pass over the
// rows: the first window means (of guide and p), the coefficients from them,
// the second window means (of the coefficients) and the output follow each
// other a few rows apart. T is the guide's depth.
template <typename T> class GuidedPass {
public:
    GuidedPass(
        const cv::Mat& guide, const cv::Mat& p, int kernelSize, double eps, DebugImages* debug);

    // The result, CV_MAKETYPE(outDepth, p.channels()).
    cv::Mat run(int outDepth);

private:
    // One of the two sets of window means: its planes, their running column
    // sums, and a ring of row sums that keeps each row's sums from the step
    // where the row enters the windows to the step where it leaves them, all
    // `lanes` values per pixel (tags: the row each slot holds). added and
    // removed: the row sums of the rows in work.
    struct Sums {
        explicit Sums(int planes)
            : groups(planes)
        {
        }
        LaneGroups groups;
        std::vector<double> sum;
        cv::Mat rows; // CV_64F, one row of sums per ring slot
        std::vector<int> tags;
        std::vector<const double*> added, removed;
        size_t row() const { return sum.size(); }
    };

    // Scratch of one worker: border-completed rows of each set of sums (two,
    // for the pairs of rows summed together), p's row, and for a run of
    // columns the means and the output.
    struct Scratch {
        std::vector<double> bordered[2][2];
        std::vector<T> pRow, means, out;
    };

    // Row sums of one row: of the image for the first means, of the
    // coefficients for the second.
    struct RowJob {
        bool second;
        int row;
        double* out;
    };

    template <class Body> void forSlots(int count, Body body);
    const T* pRowAt(int y, Scratch& s) const;
    void borderedRow(bool second, int y, double* b, Scratch& s) const;
    void rowSumsOf(const std::vector<RowJob>& jobs);
    const double* sumsOfRow(std::vector<RowJob>& jobs, bool second, int row);
    void addJobs(std::vector<RowJob>& jobs, bool second, int begin, int end);
    void initialise(bool second);
    void columnSteps(Sums& sums, int y, int i, int x0, int x1, Scratch& s);
    void firstMeans(int y, int i, int x0, int x1, Scratch& s);
    void secondMeans(int z, int i, int x0, int x1, Scratch& s, cv::Mat& out);
    T* abRow(int y) { return ab.template ptr<T>(y % abRows); }
    const T* abRow(int y) const { return ab.template ptr<T>(y % abRows); }

    const cv::Mat& guide;
    const cv::Mat& p;
    cv::Mat meanOfP; // cv::blur of a p that is part of a larger image (see run)
    const int W, H, G, P, k, anchor, after;
    const double scale;
    const T eps;
    DebugImages* debug;
    int batch, abRows, slots;
    size_t chunk; // most columns of one slot's run
    Sums first, second;
    cv::Mat ab; // ring of coefficient rows, abRows rows of W pixels
    std::vector<Scratch> scratch;
};

template <typename T>
GuidedPass<T>::GuidedPass(
    const cv::Mat& guide, const cv::Mat& p, int kernelSize, double eps, DebugImages* debug)
    : guide(guide)
    , p(p)
    , W(guide.cols)
    , H(guide.rows)
    , G(guide.channels())
    , P(p.channels())
    , k(kernelSize)
    , anchor(kernelSize / 2)
    , after(kernelSize - 1 - kernelSize / 2)
    , scale(1. / (kernelSize * kernelSize))
    , eps(static_cast<T>(eps))
    , debug(debug)
    , first(firstPassPlanes(guide.channels(), p.channels()))
    , second((guide.channels() + 1) * p.channels())
{
    CV_Assert(kernelSize > 0 && !guide.empty() && p.size() == guide.size());
    // Rows per step: enough to keep the workers busy between two waits, few
    // enough that the row sums in work stay in the processor's caches.
    const size_t rowBytes
        = static_cast<size_t>(W) * (first.groups.lanes + second.groups.lanes) * sizeof(double);
    batch = static_cast<int>(std::clamp<size_t>((size_t(2) << 20) / rowBytes, 2, 4));
    // The rows of coefficients the second means still have to sum are those
    // from z - anchor on (z: their next row); the first means run at most
    // abRows rows ahead of that, and at least k + batch for both to advance.
    abRows = 2 * batch + k;
    slots = 2 * std::max(1, cv::getNumThreads());
    // A row in work reads the sums of rows within batch + k - 1 of each other;
    // a ring of more rows than that keeps them apart.
    const int ringRows = 2 * batch + k;
    for (Sums* sums : { &first, &second }) {
        const size_t row = static_cast<size_t>(W) * sums->groups.lanes;
        sums->sum.assign(row, 0.0);
        sums->rows.create(ringRows, static_cast<int>(row), CV_64F);
        sums->tags.assign(ringRows, -1);
        sums->added.resize(batch);
        sums->removed.resize(batch);
    }
    // Zero: the padding lanes are summed, though never read.
    ab = cv::Mat::zeros(abRows, static_cast<int>(second.row()), cv::DataType<T>::type);
    scratch.resize(slots);
    chunk = (W + slots - 1) / slots;
    for (Scratch& s : scratch) {
        for (int level = 0; level < 2; ++level)
            for (std::vector<double>& b : s.bordered[level])
                b.assign(
                    static_cast<size_t>(W + k - 1) * (level ? second : first).groups.lanes, 0.0);
        s.pRow.resize(static_cast<size_t>(W) * P);
        s.means.resize(chunk * std::max(first.groups.lanes, second.groups.lanes));
        s.out.resize(chunk * P);
    }
}

// body(slot, begin, end) over [0, count) in contiguous parts, one per slot,
// the slots shared among OpenCV's workers.
template <typename T> template <class Body> void GuidedPass<T>::forSlots(int count, Body body)
{
    const int parts = std::min(count, slots);
    if (parts <= 0)
        return;
    cv::parallel_for_(
        cv::Range(0, parts),
        [&](const cv::Range& range) {
            for (int s = range.start; s < range.end; ++s)
                body(s, static_cast<int>(static_cast<long long>(count) * s / parts),
                    static_cast<int>(static_cast<long long>(count) * (s + 1) / parts));
        },
        parts);
}

// Row y of p at the working depth: p's own row, or converted into the scratch.
template <typename T> const T* GuidedPass<T>::pRowAt(int y, Scratch& s) const
{
    if (p.depth() == cv::DataType<T>::depth)
        return p.ptr<T>(y);
    cv::Mat row(1, W, CV_MAKETYPE(cv::DataType<T>::depth, P), s.pRow.data());
    p.row(y).convertTo(row, row.type(), 1.0, 0.0);
    return s.pRow.data();
}

// Row y of the planes of the first (image) or second (coefficient) sums as
// doubles, border-completed by reflect-101 mirroring.
template <typename T>
void GuidedPass<T>::borderedRow(bool second, int y, double* b, Scratch& s) const
{
    const int lanes = (second ? this->second : first).groups.lanes;
    double* v = b + static_cast<size_t>(anchor) * lanes;
    if (second)
        widen(abRow(y), static_cast<size_t>(W) * lanes, v);
    else
        firstInputs(guide.ptr<T>(y), pRowAt(y, s), G, P, W, lanes, v);
    auto mirror = [&](int j) {
        const int from = anchor + cv::borderInterpolate(j - anchor, W, cv::BORDER_REFLECT_101);
        std::copy_n(
            b + static_cast<size_t>(from) * lanes, lanes, b + static_cast<size_t>(j) * lanes);
    };
    for (int j = 0; j < anchor; ++j)
        mirror(j);
    for (int j = anchor + W; j < W + k - 1; ++j)
        mirror(j);
}

// The jobs' row sums, two rows of one set of sums at a time.
template <typename T> void GuidedPass<T>::rowSumsOf(const std::vector<RowJob>& jobs)
{
    std::vector<std::pair<size_t, size_t>> pairs; // first job, jobs
    for (size_t i = 0; i < jobs.size(); i += pairs.back().second) {
        const bool two = i + 1 < jobs.size() && jobs[i + 1].second == jobs[i].second;
        pairs.emplace_back(i, two ? 2 : 1);
    }
    forSlots(static_cast<int>(pairs.size()), [&](int slot, int begin, int end) {
        Scratch& s = scratch[slot];
        for (int q = begin; q < end; ++q) {
            const bool second = jobs[pairs[q].first].second;
            const double* in[2] = { nullptr, nullptr };
            double* out[2] = { nullptr, nullptr };
            for (size_t r = 0; r < pairs[q].second; ++r) {
                const RowJob& job = jobs[pairs[q].first + r];
                double* b = s.bordered[second][r].data();
                borderedRow(second, job.row, b, s);
                in[r] = b;
                out[r] = job.out;
            }
            rowSums((second ? this->second : first).groups, in, out, W, k);
        }
    });
}

// Where the sums of `row` are for this step: its slot of the ring, to be
// summed by a new job unless the slot holds them already.
template <typename T>
const double* GuidedPass<T>::sumsOfRow(std::vector<RowJob>& jobs, bool second, int row)
{
    Sums& sums = second ? this->second : first;
    const int slot = row % static_cast<int>(sums.tags.size());
    double* at = sums.rows.template ptr<double>(slot);
    if (sums.tags[slot] != row) {
        sums.tags[slot] = row;
        jobs.push_back({ second, row, at });
    }
    return at;
}

// Jobs for the rows r in [begin, end) in work: the row sums of the rows that
// enter (r + after) and leave (r - anchor) their windows, mirrored into the
// image.
template <typename T>
void GuidedPass<T>::addJobs(std::vector<RowJob>& jobs, bool second, int begin, int end)
{
    Sums& sums = second ? this->second : first;
    for (int r = begin; r < end; ++r) {
        sums.added[r - begin]
            = sumsOfRow(jobs, second, cv::borderInterpolate(r + after, H, cv::BORDER_REFLECT_101));
        sums.removed[r - begin]
            = sumsOfRow(jobs, second, cv::borderInterpolate(r - anchor, H, cv::BORDER_REFLECT_101));
    }
}

// The running column sums before the first row: the rows of the k - 1
// window positions above it, added in order from the top.
template <typename T> void GuidedPass<T>::initialise(bool second)
{
    Sums& sums = second ? this->second : first;
    std::vector<RowJob> jobs;
    std::vector<const double*> rows;
    for (int t = 0; t < k - 1; ++t)
        rows.push_back(
            sumsOfRow(jobs, second, cv::borderInterpolate(t - anchor, H, cv::BORDER_REFLECT_101)));
    rowSumsOf(jobs);
    forSlots(static_cast<int>(sums.row()), [&](int, int begin, int end) {
        for (const double* a : rows)
            for (int i = begin; i < end; ++i)
                sums.sum[i] += a[i];
    });
}

// The means of row y (row i of the rows in work), columns [x0, x1), into
// the scratch, `lanes` values per pixel.
template <typename T>
void GuidedPass<T>::columnSteps(Sums& sums, int y, int i, int x0, int x1, Scratch& s)
{
    const size_t lanes = sums.groups.lanes, at = x0 * lanes, n = (x1 - x0) * lanes;
    double* sum = sums.sum.data() + at;
    if (restartsColumnSums(k, y))
        std::fill_n(sum, n, 0.0);
    columnStep(sum, sums.added[i] + at, sums.removed[i] + at, n, scale, s.means.data());
}

// First means of row y (row i of the rows in work), columns [x0, x1), and
// the coefficients from them.
template <typename T> void GuidedPass<T>::firstMeans(int y, int i, int x0, int x1, Scratch& s)
{
    columnSteps(first, y, i, x0, x1, s);
    const int lanes = first.groups.lanes, abLanes = second.groups.lanes;
    const int pMean = meanOfPIndex(G);
    const T* blurredP = meanOfP.empty() ? nullptr : meanOfP.ptr<T>(y);
    T* abr = abRow(y);
    // Rows of the debug images to fill (null: not written).
    T* means[3] = { nullptr, nullptr, nullptr };
    T* images[5] = { nullptr, nullptr, nullptr, nullptr, nullptr }; // cov, a_r, a_g, a_b, b
    if (debug != nullptr) {
        for (int c = 0; c < 3; ++c)
            if (!debug->means[c].empty())
                means[c] = debug->means[c].ptr<T>(y);
        if (!debug->cov.empty()) {
            images[0] = debug->cov.ptr<T>(y);
            for (int c = 0; c < 3; ++c)
                images[1 + c] = debug->coeffs[c].ptr<T>(y);
            images[4] = debug->offset.ptr<T>(y);
        }
    }
    for (int x = x0; x < x1; ++x) {
        T* m = s.means.data() + static_cast<size_t>(x - x0) * lanes;
        T* ab = abr + static_cast<size_t>(x) * abLanes;
        if (blurredP != nullptr)
            m[pMean] = blurredP[x];
        if (G == 1) {
            greyCoefficients(m, P, eps, ab);
            continue;
        }
        const T cov = colourCoefficients(m, P, eps, ab);
        for (int c = 0; c < 3; ++c)
            if (means[c] != nullptr)
                means[c][x] = m[c];
        if (images[0] != nullptr) {
            images[0][x] = cov;
            for (int c = 0; c < 4; ++c)
                images[1 + c][x] = ab[4 * (P - 1) + c];
        }
    }
}

// Second means of row z (row i of the rows in work), columns [x0, x1), and
// the output there.
template <typename T>
void GuidedPass<T>::secondMeans(int z, int i, int x0, int x1, Scratch& s, cv::Mat& out)
{
    columnSteps(second, z, i, x0, x1, s);
    const int n = x1 - x0, lanes = second.groups.lanes;
    const bool direct = out.depth() == cv::DataType<T>::depth;
    T* q = direct ? out.ptr<T>(z) + static_cast<size_t>(x0) * P : s.out.data();
    const T* I = guide.ptr<T>(z) + static_cast<size_t>(x0) * G;
    for (int x = 0; x < n; ++x)
        filterOutput(s.means.data() + static_cast<size_t>(x) * lanes, I + x * G, G, P, q + x * P);
    if (!direct) {
        const cv::Mat values(1, n, CV_MAKETYPE(cv::DataType<T>::depth, P), q);
        cv::Mat target = out.row(z).colRange(x0, x1);
        values.convertTo(target, out.type(), 1.0, 0.0);
    }
}

template <typename T> cv::Mat GuidedPass<T>::run(int outDepth)
{
    // cv::blur reads a plane that is part of a larger image beyond its
    // edges, where that image has pixels; the filter has always blurred a
    // single-channel p of the working depth as it was given, so such a p's
    // mean is that very call's.
    cv::Size whole;
    cv::Point offset;
    p.locateROI(whole, offset);
    if (P == 1 && p.depth() == cv::DataType<T>::depth && whole != p.size())
        meanOfP = boxfilter(p, k);
    if (debug != nullptr)
        debug->allocate(H, W, cv::DataType<T>::type);

    cv::Mat out(H, W, CV_MAKETYPE(outDepth, P));
    initialise(false);
    bool secondStarted = false;
    int y = 0, z = 0; // the next rows of first and second means
    while (z < H) {
        if (!secondStarted && (y == H || y > std::max(anchor, after))) {
            initialise(true);
            secondStarted = true;
        }
        // Second means of the rows whose windows of coefficients are complete;
        // first means as far ahead as the coefficient ring keeps the rows
        // those will still read (from row z1 - anchor on).
        const int z1 = secondStarted ? std::max(z, std::min(z + batch, y == H ? H : y - after)) : z;
        const int y1 = std::max(y, std::min({ y + batch, H, z1 - anchor + abRows }));

        std::vector<RowJob> jobs;
        addJobs(jobs, false, y, y1);
        addJobs(jobs, true, z, z1);
        rowSumsOf(jobs);
        forSlots(W, [&](int slot, int x0, int x1) {
            Scratch& s = scratch[slot];
            for (int r = y; r < y1; ++r)
                firstMeans(r, r - y, x0, x1, s);
            for (int r = z; r < z1; ++r)
                secondMeans(r, r - z, x0, x1, s, out);
        });
        y = y1;
        z = z1;
    }
    return out;
}

// The filter of every plane of p under `guide` (CV_32F or CV_64F, one or
// three channels) at outDepth, writing the debug images `debug` asks for.
cv::Mat filterAll(const cv::Mat& guide, const cv::Mat& p, int kernelSize, double eps, int outDepth,
    DebugImages* debug)
{
    cv::Mat out;
    if (guide.depth() == CV_64F)
        out = GuidedPass<double>(guide, p, kernelSize, eps, debug).run(outDepth);
    else
        out = GuidedPass<float>(guide, p, kernelSize, eps, debug).run(outDepth);
    if (debug != nullptr)
        debug->write();
    return out;
}

// The result depth of a call with `depth`: -1 is p's depth, any other
// negative value leaves the working depth.
int resultDepth(int depth, const cv::Mat& p, int guideDepth)
{
    if (depth == -1)
        return p.depth();
    return depth < 0 ? guideDepth : CV_MAT_DEPTH(depth);
}

void checkGuideChannels(const cv::Mat& I)
{
    if (!(I.channels() == 1 || I.channels() == 3))
        cv::error(cv::Error::StsAssert, "I.channels() == 1 || I.channels() == 3", "GuidedFilter",
            __FILE__, __LINE__);
}

} // namespace

// ---------------------------------------------------------------------------
// Driver

toolkit::guidedfilter::GuidedFilterImpl::GuidedFilterImpl(
    const cv::Mat& I, int channels, int kernelSize, double eps)
    : guide(workingGuide(I))
    , kernelSize(kernelSize)
    , eps(eps)
    , guideDepth(guide.depth())
{
    CV_Assert(I.channels() == channels && !I.empty() && kernelSize > 0);
}

toolkit::guidedfilter::GuidedFilterImpl::~GuidedFilterImpl() = default;

cv::Mat toolkit::guidedfilter::GuidedFilterImpl::filterSingleChannel(const cv::Mat& p) const
{
    CV_Assert(p.type() == CV_MAKETYPE(guideDepth, 1));
    DebugImages debug = DebugImages::of(false, guide.channels() == 3);
    return filterAll(guide, p, kernelSize, eps, guideDepth, &debug);
}

cv::Mat toolkit::guidedfilter::GuidedFilterImpl::filter(const cv::Mat& p, int depth) const
{
    DebugImages debug = DebugImages::of(false, guide.channels() == 3);
    return filterAll(guide, p, kernelSize, eps, resultDepth(depth, p, guideDepth), &debug);
}

// ---------------------------------------------------------------------------
// Single-channel guide

toolkit::guidedfilter::GuidedFilterMono::GuidedFilterMono(
    const cv::Mat& I, int kernelSize, double eps)
    : GuidedFilterImpl(I, 1, kernelSize, eps)
{
}

cv::Mat toolkit::guidedfilter::GuidedFilterMono::filterColorChannelsMK(const cv::Mat& p) const
{
    return cv::Mat::zeros(p.rows, p.cols, CV_32FC3);
}

// ---------------------------------------------------------------------------
// Three-channel guide

toolkit::guidedfilter::GuidedFilterColor::GuidedFilterColor(
    const cv::Mat& I, int kernelSize, double eps)
    : GuidedFilterImpl(I, 3, kernelSize, eps)
{
    writeGuideMeans(guide, kernelSize);
}

cv::Mat toolkit::guidedfilter::GuidedFilterColor::filterColorChannelsMK(const cv::Mat& p) const
{
    // The transfer reads the covariance planes as floats.
    CV_Assert(guideDepth == CV_32F);
    CV_Assert(p.type() == CV_32FC3 && p.size() == guide.size());
    return localColourTransfer(guide, p, kernelSize);
}

// ---------------------------------------------------------------------------
// Facade

toolkit::guidedfilter::GuidedFilter::GuidedFilter(const cv::Mat& I, int r, double eps)
{
    checkGuideChannels(I);
    if (I.channels() == 1)
        impl = std::make_unique<GuidedFilterMono>(I, 2 * r + 1, eps);
    else
        impl = std::make_unique<GuidedFilterColor>(I, 2 * r + 1, eps);
}

toolkit::guidedfilter::GuidedFilter::~GuidedFilter() = default;

cv::Mat toolkit::guidedfilter::GuidedFilter::filter(const cv::Mat& p, int depth) const
{
    return impl->filter(p, depth);
}

cv::Mat toolkit::guidedfilter::guidedFilter(
    const cv::Mat& I, const cv::Mat& p, int r, double eps, int depth)
{
    // The filter object's result without its copy of the guide: a float
    // guide is only read here, so it is used as it is.
    checkGuideChannels(I);
    CV_Assert(!I.empty() && r >= 0);
    cv::Mat guide = I;
    if (I.depth() != CV_32F && I.depth() != CV_64F)
        I.convertTo(guide, CV_32F, 1.0, 0.0);
    DebugImages debug = DebugImages::of(I.channels() == 3, I.channels() == 3);
    return filterAll(guide, p, 2 * r + 1, eps, resultDepth(depth, p, guide.depth()), &debug);
}
