#pragma once
// A document or signed file streamed through the crypto layer: its bytes are
// shown as progress, and the work stops when the person presses Cancel or
// Ctrl-C, or when the system asks the program to end. A stopped piece of work
// raises status::Stopped, which every operation ends on without a word; the
// sinks it wrote to are left uncommitted, so nothing changes on the disk.

#include <csignal>
#include <string>

#include "crypto/ContentStream.h"
#include "operations/UserInterface.h"

namespace quilvane {

// Whether SIGINT or SIGTERM came during the last streamed work: a batch
// ends then, rather than going on with the next file.
bool StopRequested();

class StreamedWork {
  public:
    StreamedWork(UserInterface& ui, std::string label);
    ~StreamedWork();
    StreamedWork(const StreamedWork&) = delete;
    StreamedWork& operator=(const StreamedWork&) = delete;

    // For the sources and sinks of the work.
    ContentProgress Callback();

  private:
    UserInterface& ui_;
    std::string label_;
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTerminate_ {};
};

}  // namespace quilvane
