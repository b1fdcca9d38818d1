// Large memory pages for image buffers.
#pragma once

namespace toolkit {
namespace common {

// Makes OpenCV allocate every matrix of 8 MiB or more on 2 MiB-aligned memory
// that the kernel may back with transparent huge pages. A 12-megapixel
// photograph otherwise costs tens of thousands of page faults on first touch.
// Smaller matrices keep OpenCV's usual allocation. Call once, at the start of
// a program, before any matrix exists; the allocator lives until the process ends.
void useLargePagesForImages();

} // namespace common
} // namespace toolkit
