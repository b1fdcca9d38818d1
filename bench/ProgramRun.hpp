// Running a program as the benchmarks do: in a folder, its output to files
// or nowhere, with its wall time, processor time, peak memory and page faults.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

struct ProgramRun {
    double seconds = 0.0;
    double cpuSeconds = 0.0;
    long peakKiB = 0;
    int status = -1; // exit status, or 128 + signal number
    long minorFaults = 0; // page faults served without reading a file
};

inline double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs BINARY with ARGS in WORKDIR ("" for the current folder), standard
// input from /dev/null, standard output and error to the given files (or
// /dev/null when empty). The peak memory is the largest of the process and
// every descendant it waited for.
inline ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
    const std::string& workDir, const std::string& stdoutPath = "",
    const std::string& stderrPath = "")
{
    std::fflush(stdout);
    ProgramRun result;
    const double start = now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("bench: fork");
        std::exit(1);
    }
    if (pid == 0) {
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0)
            ::_exit(126);
        const auto output = [](const std::string& path) {
            return path.empty() ? ::open("/dev/null", O_WRONLY)
                                : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        };
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = output(stdoutPath);
        const int err = output(stderrPath);
        if (in < 0 || out < 0 || err < 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv { const_cast<char*>(binary.c_str()) };
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage { };
    ::wait4(pid, &status, 0, &usage);
    result.seconds = now() - start;
    result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
        + usage.ru_stime.tv_usec / 1e6;
    result.peakKiB = usage.ru_maxrss;
    result.minorFaults = usage.ru_minflt;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status)
        : WIFSIGNALED(status)         ? 128 + WTERMSIG(status)
                                      : -1;
    return result;
}

} // namespace bench
