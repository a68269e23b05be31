#include "operations/Streaming.h"

#include "crypto/Error.h"

namespace quilvane {
namespace {

// Set by SIGINT or SIGTERM while streamed work runs; the work looks at it
// after every chunk.
volatile std::sig_atomic_t gStopAsked = 0;

extern "C" void AskToStop(int) {
    gStopAsked = 1;
}

}  // namespace

bool StopRequested() {
    return gStopAsked != 0;
}

StreamedWork::StreamedWork(UserInterface& ui, std::string label)
    : ui_(ui), label_(std::move(label)) {
    gStopAsked = 0;
    struct sigaction stop {};
    stop.sa_handler = AskToStop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    sigaction(SIGINT, &stop, &previousInterrupt_);
    sigaction(SIGTERM, &stop, &previousTerminate_);
}

StreamedWork::~StreamedWork() {
    sigaction(SIGINT, &previousInterrupt_, nullptr);
    sigaction(SIGTERM, &previousTerminate_, nullptr);
    ui_.progressDone();
}

ContentProgress StreamedWork::Callback() {
    return [this](std::uint64_t done, std::optional<std::uint64_t> total) {
        if (gStopAsked != 0 || !ui_.progress({label_, done, total.value_or(0), true})) {
            throw Error(status::Stopped, "The work was stopped.");
        }
    };
}

}  // namespace quilvane
