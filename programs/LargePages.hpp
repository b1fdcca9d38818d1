// Large memory pages for the programs' image buffers. Only the programs call
// this: it replaces OpenCV's allocator for the whole process, which a library
// must leave to the program that links it.
#pragma once

namespace programs {

// Makes OpenCV allocate every matrix of 8 MiB or more on 2 MiB-aligned memory
// that the kernel may back with transparent huge pages. A 12-megapixel
// photograph otherwise costs tens of thousands of page faults on first touch
// (bench_large_pages measures both). Smaller matrices keep OpenCV's usual
// allocation. Call once, at the start of a program, before any matrix exists;
// the allocator lives until the process ends.
void useLargePagesForImages();

} // namespace programs
