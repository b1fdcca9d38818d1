#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/common/ImageFiles.hpp"

#include <iostream>

namespace {

thread_local toolkit::common::DebugOutput tDebugOutput;

} // namespace

toolkit::common::DebugOutput toolkit::common::currentDebugOutput()
{
    return tDebugOutput;
}

toolkit::common::DebugOutputScope::DebugOutputScope(DebugOutput output)
    : previous_(tDebugOutput)
{
    tDebugOutput = std::move(output);
}

toolkit::common::DebugOutputScope::~DebugOutputScope()
{
    tDebugOutput = std::move(previous_);
}

std::string toolkit::common::debugFilePath(const std::string& name)
{
    switch (tDebugOutput.mode) {
    case DebugOutput::Mode::Off:
        return std::string();
    case DebugOutput::Mode::Directory:
        if (!name.empty() && name.front() != '/' && !tDebugOutput.directory.empty())
            return tDebugOutput.directory.back() == '/' ? tDebugOutput.directory + name
                                                        : tDebugOutput.directory + "/" + name;
        return name;
    case DebugOutput::Mode::WorkingDirectory:
        break;
    }
    return name;
}

std::ostream& toolkit::common::progress()
{
    if (tDebugOutput.mode != DebugOutput::Mode::Off)
        return std::cout;
    // A stream without a buffer writes nothing; one per thread, since writing
    // sets its state.
    thread_local std::ostream discard(nullptr);
    discard.clear();
    return discard;
}

bool toolkit::common::writeDebugImage(const std::string& name, const cv::Mat& img)
{
    const std::string path = debugFilePath(name);
    return !path.empty() && writeImage(path, img);
}
