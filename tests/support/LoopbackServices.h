#pragma once
// Real network services for the tests on the loopback interface, on ports the
// kernel picks, stopped by their process id (support/loopback-services.py).

#include <sys/types.h>
#include <filesystem>
#include <string>

// Skips the test when `services` could not start.
#define SKIP_WITHOUT(services) \
    if (!(services).running()) \
    GTEST_SKIP() << "python3 is needed for the loopback services"

namespace quilvane::test {

namespace fs = std::filesystem;

// An HTTP server over `folder`: GET /files/NAME serves FOLDER/NAME; POST
// /run/NAME answers what FOLDER/NAME.sh prints for the request on its input
// (as the type in FOLDER/NAME.type); /silent/ never answers. Scripts and
// files can be put in the folder after it started. A request through a
// proxy (an absolute address) is served as its path and logged as given.
// With a certificate and its key (PEM) it serves HTTPS. Not running() when it
// could not start (no python3): the test then skips.
class LoopbackServices {
  public:
    explicit LoopbackServices(fs::path folder, const fs::path& tlsCertificate = {},
                              const fs::path& tlsKey = {});
    ~LoopbackServices();
    LoopbackServices(const LoopbackServices&) = delete;
    LoopbackServices& operator=(const LoopbackServices&) = delete;

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" + `path` ("https://" with TLS).
    std::string url(const std::string& path) const;
    const fs::path& folder() const { return folder_; }
    // How many requests so far had a path starting with `prefix`.
    int requests(const std::string& prefix) const;
    // Kills the server now, as a service that went down.
    void stop();

  private:
    fs::path folder_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool tls_ = false;
};

// A port that takes connections and never answers: bound and listening, but
// nothing ever accepts or reads.
class SilentPort {
  public:
    SilentPort();
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace quilvane::test
