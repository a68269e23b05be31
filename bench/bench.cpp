// Signs and verifies one large document with Quilvane's operations, with the
// crypto layer's streamed path and with `openssl cms`, side by side, and prints
// wall time and peak memory of each, and the floor: `openssl dgst -sha256`
// plus `cat` of the same file.
//
//   build/bench/bench [SIZE_MIB]   (default 256)
//
// Each run happens in a child process of its own, so the peak resident size
// the kernel reports for the child is that run's alone.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "crypto/SignedData.h"
#include "crypto/Store.h"
#include "operations/Signing.h"

namespace fs = std::filesystem;
using quilvane::Icon;

namespace {

// Picks the first certificate, answers No, says nothing.
class QuietUserInterface : public quilvane::UserInterface {
  public:
    void message(const std::string& text, Icon icon, const quilvane::MessageNotes&) override {
        if (icon == Icon::Critical) {
            std::fprintf(stderr, "%s\n", text.c_str());
            std::_Exit(3);
        }
    }
    bool ask(const std::string&, const quilvane::MessageNotes&) override { return false; }
    std::optional<std::size_t> pickCertificate(
        const std::string&, const std::string&,
        const std::vector<quilvane::CertificateRow>&) override {
        return 0;
    }
    std::optional<quilvane::Secret> secret(const quilvane::SecretRequest&) override {
        return std::nullopt;
    }
    bool progress(const quilvane::Progress&) override { return true; }
    void progressDone() override {}
    std::int32_t openDocument(const std::string&) override { return 42; }
};

// Plain POSIX files as the crypto layer's streamed source and sink, until the
// operations' own take that path. Any failure ends the run.
[[noreturn]] void Die(const char* what) {
    std::perror(what);
    std::_Exit(4);
}

class PosixSource : public quilvane::ContentSource,
                    public quilvane::RewindableSource,
                    public quilvane::FileBackedSource {
  public:
    explicit PosixSource(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ < 0 || fstat(fd_, &st) != 0) {
            Die("open");
        }
        size_ = static_cast<std::uint64_t>(st.st_size);
    }
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        ssize_t n = read(fd_, buffer.data(), buffer.size());
        if (n < 0) {
            Die("read");
        }
        return static_cast<std::size_t>(n);
    }
    std::optional<std::uint64_t> Size() const override { return size_; }
    void Rewind() override { lseek(fd_, 0, SEEK_SET); }
    int Descriptor() const override { return fd_; }

  private:
    int fd_;
    std::uint64_t size_ = 0;
};

class PosixSink : public quilvane::ContentSink,
                  public quilvane::PatchableSink,
                  public quilvane::FileCopySink {
  public:
    explicit PosixSink(std::string path)
        : path_(std::move(path)),
          fd_(open((path_ + ".part").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
        if (fd_ < 0) {
            Die("open");
        }
    }
    void Write(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            ssize_t n = write(fd_, bytes.data(), bytes.size());
            if (n <= 0) {
                Die("write");
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
    }
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        if (pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
            static_cast<ssize_t>(bytes.size())) {
            Die("pwrite");
        }
    }
    bool CopyFrom(int descriptor, std::uint64_t offset, std::uint64_t length) override {
        auto from = static_cast<off_t>(offset);
        for (bool first = true; length > 0; first = false) {
            ssize_t n = copy_file_range(descriptor, &from, fd_, nullptr, length, 0);
            if (n < 0 && first) {
                return false;
            }
            if (n <= 0) {
                Die("copy_file_range");
            }
            length -= static_cast<std::uint64_t>(n);
        }
        return true;
    }
    void Commit() {
        if (close(fd_) != 0 || rename((path_ + ".part").c_str(), path_.c_str()) != 0) {
            Die("commit");
        }
    }

  private:
    std::string path_;
    int fd_;
};

quilvane::Signer FirstSigner() {
    quilvane::Store store;
    store.Open([](const quilvane::SecretRequest&) { return std::optional<quilvane::Secret>(); },
               quilvane::StoreLocation::CurrentUser, "My", quilvane::StoreOpenMode::ReadOnly);
    quilvane::Signer signer;
    signer.Certificate(store.Certificates().Item(1));
    return signer;
}

struct Measure {
    double seconds;
    double peakMiB;
};

// Runs `body` in a child process; returns its wall time and peak memory.
Measure InChild(const std::function<void()>& body) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        body();
        std::_Exit(0);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a run failed\n");
        std::exit(1);
    }
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss / 1024.0};
}

Measure Command(const std::string& command) {
    return InChild([&] { execl("/bin/sh", "sh", "-c", command.c_str(), nullptr); });
}

// The best of five runs, by wall time; the largest peak. Each run starts
// with the previous runs' writes on the disk, so that one run's writeback
// does not slow the next.
Measure Best(const std::function<Measure()>& run) {
    Measure best{1e9, 0};
    for (int i = 0; i < 5; ++i) {
        sync();
        Measure m = run();
        best.seconds = std::min(best.seconds, m.seconds);
        best.peakMiB = std::max(best.peakMiB, m.peakMiB);
    }
    return best;
}

void Row(const char* what, Measure ours, Measure theirs, double sizeMiB) {
    std::printf(
        "%-8s quilvane %6.3f s %7.1f MiB (%.2fx file) | openssl %6.3f s %7.1f MiB (%.2fx file)"
        " | time ratio %.2f\n",
        what, ours.seconds, ours.peakMiB, ours.peakMiB / sizeMiB, theirs.seconds, theirs.peakMiB,
        theirs.peakMiB / sizeMiB, ours.seconds / theirs.seconds);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    char pattern[] = "/tmp/quilvane-bench-XXXXXX";
    fs::path dir = mkdtemp(pattern);
    fs::path store = dir / "data" / "quilvane" / "My";
    fs::create_directories(store);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    std::string key = (store / "key.pem").string(), cert = (store / "cert.pem").string();
    if (std::system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                     " -days 30 -subj /CN=Bench 2>/dev/null")
                        .c_str()) != 0) {
        return 1;
    }

    // A document of pseudo-random bytes (xorshift: fast, incompressible enough).
    fs::path doc = dir / "document.bin";
    {
        std::vector<std::uint64_t> block(1 << 17);
        std::uint64_t x = 88172645463325252ull;
        std::ofstream out(doc, std::ios::binary);
        for (std::size_t written = 0; written < mib << 20; written += block.size() * 8) {
            for (auto& word : block) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                word = x;
            }
            out.write(reinterpret_cast<const char*>(block.data()), block.size() * 8);
        }
    }
    std::string d = doc.string();
    double size = static_cast<double>(mib);
    std::printf("document: %zu MiB\n", mib);

    Measure signOurs = Best([&] {
        return InChild([&] {
            QuietUserInterface ui;
            quilvane::SignFile(ui, d, d + ".sig");
        });
    });
    Measure signOpenssl = Best([&] {
        return Command("openssl cms -sign -binary -nodetach -outform DER -md sha256 -in " + d +
                       " -signer " + cert + " -inkey " + key + " -out " + d + ".openssl.sig");
    });
    Row("sign", signOurs, signOpenssl, size);

    // Both verify the same file: the one openssl signed.
    Measure verifyOurs = Best([&] {
        return InChild([&] {
            QuietUserInterface ui;
            quilvane::VerifySig(ui, d + ".openssl.sig");
        });
    });
    Measure verifyOpenssl = Best([&] {
        return Command("openssl cms -verify -noverify -binary -inform DER -in " + d +
                       ".openssl.sig -out " + d + ".openssl.out");
    });
    Row("verify", verifyOurs, verifyOpenssl, size);

    // The streamed path of the crypto layer, with the same key and files.
    Measure signStreamed = Best([&] {
        return InChild([&] {
            PosixSource source(d);
            PosixSink sink(d + ".streamed.sig");
            quilvane::SignedData().Sign(source, sink, FirstSigner());
            sink.Commit();
        });
    });
    Row("sign/st", signStreamed, signOpenssl, size);
    Measure verifyStreamed = Best([&] {
        return InChild([&] {
            PosixSource source(d + ".openssl.sig");
            PosixSink sink(d + ".streamed.out");
            quilvane::SignedData().Verify(source, &sink, quilvane::VerifyFlag::SignatureOnly);
            sink.Commit();
        });
    });
    Row("verify/st", verifyStreamed, verifyOpenssl, size);
    Measure floor = Best([&] {
        return Command("openssl dgst -sha256 " + d + " >/dev/null && cat " + d + " > " + d +
                       ".copy");
    });
    std::printf("floor    %6.3f s %7.1f MiB | streamed sign %.2fx floor, verify %.2fx floor\n",
                floor.seconds, floor.peakMiB, signStreamed.seconds / floor.seconds,
                verifyStreamed.seconds / floor.seconds);

    fs::remove_all(dir);
    return 0;
}
