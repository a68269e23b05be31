#include "operations/Streaming.h"

#include <pthread.h>

#include <atomic>

#include "crypto/Error.h"
#include "crypto/Text.h"

namespace quilvane {
namespace {

// Set by SIGINT or SIGTERM while a StopSignals lives; the work looks at it
// after every chunk and once more before it commits.
// Lock-free, so the handler may set it; a batch's workers read it.
std::atomic<int> gStopAsked = 0;
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void AskToStop(int) {
    gStopAsked = 1;
}

// The outermost StopSignals puts the handlers in place; a batch's workers
// nest theirs inside it.
std::atomic<int> gDepth = 0;
struct sigaction gPreviousInterrupt {};
struct sigaction gPreviousTerminate {};

// Holds SIGINT and SIGTERM back while alive; one that came meanwhile is
// handled as soon as it ends.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, &previous_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t previous_{};
};

}  // namespace

StopSignals::StopSignals() {
    if (gDepth++ > 0) {
        return;
    }
    gStopAsked = 0;
    struct sigaction stop {};
    stop.sa_handler = AskToStop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    sigaction(SIGINT, &stop, &gPreviousInterrupt);
    sigaction(SIGTERM, &stop, &gPreviousTerminate);
}

StopSignals::~StopSignals() {
    if (--gDepth > 0) {
        return;
    }
    sigaction(SIGINT, &gPreviousInterrupt, nullptr);
    sigaction(SIGTERM, &gPreviousTerminate, nullptr);
}

bool StopRequested() {
    return gStopAsked != 0;
}

void StopIfRequested() {
    if (StopRequested()) {
        throw Error(status::Stopped, Tr("The work was stopped."));
    }
}

std::string CommitUnlessStopped(FileSink& sink) {
    sink.Prepare();
    StopIfRequested();
    SignalsHeld held;
    StopIfRequested();
    return sink.Place();
}

NetworkWait::NetworkWait(UserInterface& ui) : ui_(ui) {
    previous_ = UseNetworkWaitCheck([this](const std::string& host) {
        shown_ = true;
        if (StopRequested() ||
            !ui_.progress({Format(Tr("Waiting for %1\u2026"), host), 0, 0, false})) {
            throw Error(status::Stopped, Tr("The work was stopped."));
        }
    });
}

NetworkWait::~NetworkWait() {
    UseNetworkWaitCheck(std::move(previous_));
    if (shown_) {
        ui_.progressDone();
    }
}

StreamedWork::StreamedWork(UserInterface& ui, std::string label)
    : ui_(ui), label_(std::move(label)) {}

StreamedWork::~StreamedWork() {
    ui_.progressDone();
}

ContentProgress StreamedWork::Callback() {
    return [this](std::uint64_t done, std::optional<std::uint64_t> total) {
        if (StopRequested() || !ui_.progress({label_, done, total.value_or(0), true})) {
            throw Error(status::Stopped, Tr("The work was stopped."));
        }
    };
}

}  // namespace quilvane
