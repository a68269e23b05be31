#pragma once
// A document or signed file streamed through the crypto layer: its bytes are
// shown as progress, and the work stops when the person presses Cancel or
// Ctrl-C, or when the system asks the program to end. A stopped piece of work
// raises status::Stopped, which every operation ends on without a word; the
// sinks it wrote to are left uncommitted, so nothing changes on the disk.

#include <csignal>
#include <string>

#include "crypto/ContentStream.h"
#include "crypto/Network.h"
#include "operations/FileStreams.h"
#include "operations/UserInterface.h"

namespace quilvane {

// While one lives, SIGINT and SIGTERM ask the work to stop instead of ending
// the program at once. They may nest; the outermost one starts with no stop
// asked and puts the program's own handling back at its end.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
};

// Whether a stop was asked for since the outermost StopSignals began.
bool StopRequested();
// Raises status::Stopped when a stop was asked for.
void StopIfRequested();

// Puts `sink`'s file in place unless a stop was asked for first: the long
// part (to the disk) may be stopped, the rename and the backup run whole, with
// the signals held back until the file is in place. Returns Commit()'s note.
// Needs a StopSignals alive, made before the sink.
std::string CommitUnlessStopped(FileSink& sink);

// While one lives, a request that waits for the network shows as progress
// ("Waiting for HOST…") and stops as streamed work does: on Cancel, Ctrl-C or
// a request to end. They may nest; each puts back the wait it replaced.
class NetworkWait {
  public:
    explicit NetworkWait(UserInterface& ui);
    ~NetworkWait();
    NetworkWait(const NetworkWait&) = delete;
    NetworkWait& operator=(const NetworkWait&) = delete;

  private:
    StopSignals signals_;
    UserInterface& ui_;
    bool shown_ = false;
    NetworkWaitCheck previous_;
};

class StreamedWork {
  public:
    StreamedWork(UserInterface& ui, std::string label);
    ~StreamedWork();
    StreamedWork(const StreamedWork&) = delete;
    StreamedWork& operator=(const StreamedWork&) = delete;

    // For the sources and sinks of the work.
    ContentProgress Callback();

  private:
    StopSignals signals_;
    UserInterface& ui_;
    std::string label_;
    // A signature's time-stamp and a co-signed file's revocation checks are
    // asked for in the middle of the streaming.
    NetworkWait network_{ui_};
};

}  // namespace quilvane
