#include "support/LoopbackServices.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace quilvane::test {

LoopbackServices::LoopbackServices(fs::path folder, const fs::path& tlsCertificate,
                                   const fs::path& tlsKey)
    : folder_(std::move(folder)), tls_(!tlsCertificate.empty()) {
    fs::create_directories(folder_);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    const std::string script = QUILVANE_TEST_SUPPORT_DIR "/loopback-services.py";
    pid_ = fork();
    if (pid_ == 0) {
        // A group of its own, so that stopping it also ends the interpreter a
        // python3 wrapper (pyenv, a shell script) started.
        setpgid(0, 0);
        dup2(out[1], STDOUT_FILENO);
        if (tls_) {
            execlp("python3", "python3", script.c_str(), folder_.c_str(), tlsCertificate.c_str(),
                   tlsKey.c_str(), nullptr);
        } else {
            execlp("python3", "python3", script.c_str(), folder_.c_str(), nullptr);
        }
        _exit(127);
    }
    if (pid_ > 0) {
        setpgid(pid_, pid_);  // as the child does, whichever runs first
    }
    close(out[1]);
    char line[32] = {};
    std::size_t got = 0;
    while (pid_ > 0 && got < sizeof line - 1) {
        const ssize_t n = read(out[0], line + got, 1);
        if (n <= 0 || line[got] == '\n') {
            break;
        }
        ++got;
    }
    close(out[0]);
    port_ = std::atoi(line);
    if (port_ <= 0) {
        stop();
    }
}

LoopbackServices::~LoopbackServices() {
    stop();
}

void LoopbackServices::stop() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::string LoopbackServices::url(const std::string& path) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

int LoopbackServices::requests(const std::string& prefix) const {
    std::ifstream log(folder_ / "requests.log");
    int count = 0;
    for (std::string line; std::getline(log, line);) {
        const std::size_t space = line.find(' ');
        count += space != std::string::npos && line.compare(space + 1, prefix.size(), prefix) == 0;
    }
    return count;
}

SilentPort::SilentPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(fd_, 16) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
}

SilentPort::~SilentPort() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

}  // namespace quilvane::test
