#include "programs/compare-pairs/Signals.hpp"

#include <csignal>

namespace {

std::atomic<int> gSignal { 0 };

extern "C" void onTerminatingSignal(int signo)
{
    gSignal.store(signo);
    // A second signal ends the process at once.
    std::signal(signo, SIG_DFL);
}

} // namespace

const std::atomic<int>& comparepairs::caughtSignal()
{
    return gSignal;
}

void comparepairs::ignoreLostOutputSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void comparepairs::catchTerminatingSignals()
{
    struct sigaction action { };
    action.sa_handler = onTerminatingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}
