// Appending result blocks to a shared text file such as "For_fit.txt".
#pragma once

#include <string>

namespace toolkit {
namespace common {

// Appends `text` to the file at `path` (created if missing, existing content
// kept) with one write while holding an exclusive lock on the file, so that
// blocks appended by processes running at the same time never interleave or
// tear. Returns false, with the reason in `error`, when the file cannot be
// opened (it must be a regular file: a FIFO is refused, not waited on),
// locked or fully written; a block written in part (a full disk, a
// file-size limit) is cut off again before the lock is released, so the file
// only ever holds whole blocks. Callers should ignore SIGXFSZ, so that a
// file-size limit is a failed write rather than the end of the process.
bool appendLocked(const std::string& path, const std::string& text, std::string& error);

} // namespace common
} // namespace toolkit
