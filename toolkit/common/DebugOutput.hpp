// Where the toolkit's debug files and progress lines go. By default they go
// where they always have: debug images and dumps under their fixed names in
// the working directory, progress lines and figures on standard output. A
// caller may send the debug files into a directory of its choice, or turn
// both off (the Python module does, unless asked). The setting belongs to the
// calling thread; the exposure-stack drivers hand it to their worker threads.
#pragma once

#include <opencv2/core.hpp>

#include <ostream>
#include <string>

namespace toolkit {
namespace common {

struct DebugOutput {
    enum class Mode {
        WorkingDirectory, // fixed names in the working directory, progress on standard output
        Directory, // fixed names in `directory`, progress on standard output
        Off // no debug file, no progress line
    };
    Mode mode = Mode::WorkingDirectory;
    std::string directory;

    static DebugOutput workingDirectory() { return {}; }
    static DebugOutput into(std::string directory)
    {
        return { Mode::Directory, std::move(directory) };
    }
    static DebugOutput off() { return { Mode::Off, {} }; }
};

// The calling thread's setting.
DebugOutput currentDebugOutput();

// Sets the calling thread's setting for the scope's lifetime.
class DebugOutputScope {
public:
    explicit DebugOutputScope(DebugOutput output);
    ~DebugOutputScope();
    DebugOutputScope(const DebugOutputScope&) = delete;
    DebugOutputScope& operator=(const DebugOutputScope&) = delete;

private:
    DebugOutput previous_;
};

// The path to write the debug file `name` to: the name itself by default, the
// name inside the chosen directory, or "" when debug output is off (opening
// "" fails, so a stream or writer given it writes nothing).
std::string debugFilePath(const std::string& name);

// The stream for progress lines and printed figures: standard output, or a
// stream that discards everything when debug output is off.
std::ostream& progress();

// writeImage of a debug image under its fixed name, following the setting.
bool writeDebugImage(const std::string& name, const cv::Mat& img);

} // namespace common
} // namespace toolkit
