#include "programs/LargePages.hpp"

#include <opencv2/core.hpp>

#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kLargeBuffer = std::size_t(8) << 20;

void* allocateBytes(std::size_t size)
{
    if (size < kLargeBuffer)
        return cv::fastMalloc(size);
    void* p = nullptr;
    if (::posix_memalign(&p, kHugePage, size) != 0)
        throw std::bad_alloc();
    // Only whole huge pages can be backed by one; the advice is a hint.
    ::madvise(p, size / kHugePage * kHugePage, MADV_HUGEPAGE);
    return p;
}

void freeBytes(void* p, std::size_t size)
{
    if (size < kLargeBuffer)
        cv::fastFree(p);
    else
        std::free(p);
}

// OpenCV's allocator contract for host memory: lay out the steps, allocate
// the bytes unless the caller supplies them, and free only what it allocated.
class LargePageAllocator final : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step,
        cv::AccessFlag, cv::UMatUsageFlags) const override
    {
        std::size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step != nullptr) {
                if (data0 != nullptr && step[i] != cv::Mat::AUTO_STEP) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<std::size_t>(sizes[i]);
        }
        uchar* data = data0 != nullptr ? static_cast<uchar*>(data0)
                                       : static_cast<uchar*>(allocateBytes(total));
        cv::UMatData* u = new cv::UMatData(this);
        u->data = u->origdata = data;
        u->size = total;
        if (data0 != nullptr)
            u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override
    {
        return u != nullptr;
    }

    void deallocate(cv::UMatData* u) const override
    {
        if (u == nullptr)
            return;
        CV_Assert(u->urefcount == 0);
        CV_Assert(u->refcount == 0);
        if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
            freeBytes(u->origdata, u->size);
            u->origdata = nullptr;
        }
        delete u;
    }
};

} // namespace

void programs::useLargePagesForImages()
{
    // Never destroyed: matrices may be released during static destruction.
    static LargePageAllocator* allocator = new LargePageAllocator();
    cv::Mat::setDefaultAllocator(allocator);
}
