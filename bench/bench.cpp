// Signs, verifies and co-signs one large document with Quilvane's operations
// and with `openssl cms`, side by side, and prints wall time and peak memory
// of each, and the floor: `openssl dgst -sha256` plus `cat` of the same file.
// With --memory, only Quilvane's peak memory (and time) for each size, on a
// sparse document that costs no time to make.
//
//   build/bench/bench [SIZE_MIB]                 (default 256)
//   build/bench/bench --memory SIZE_MIB...
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
    quilvane::EmptyStoreChoice emptyStore(const std::string&) override { return {}; }
    std::optional<quilvane::CertificateRequest> newCertificate() override { return std::nullopt; }
    bool progress(const quilvane::Progress&) override { return true; }
    void progressDone() override {}
    std::int32_t openDocument(const std::string&) override { return 42; }
};

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

// The personal store of a bench run: one RSA-2048 certificate and its key.
struct Setup {
    fs::path dir;
    std::string key, cert;
};

Setup MakeSetup() {
    char pattern[] = "/tmp/quilvane-bench-XXXXXX";
    Setup setup{mkdtemp(pattern), {}, {}};
    fs::path store = setup.dir / "data" / "quilvane" / "My";
    fs::create_directories(store);
    setenv("XDG_DATA_HOME", (setup.dir / "data").c_str(), 1);
    setup.key = (store / "key.pem").string();
    setup.cert = (store / "cert.pem").string();
    if (std::system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + setup.key + " -out " +
                     setup.cert + " -days 30 -subj /CN=Bench 2>/dev/null")
                        .c_str()) != 0) {
        std::exit(1);
    }
    return setup;
}

Measure SignOurs(const std::string& document) {
    return InChild([&] {
        QuietUserInterface ui;
        quilvane::SignFile(ui, document, document + ".sig");
    });
}
Measure VerifyOurs(const std::string& sig) {
    return InChild([&] {
        QuietUserInterface ui;
        quilvane::VerifySig(ui, sig);
    });
}
Measure CoSignOurs(const std::string& sig) {
    return InChild([&] {
        QuietUserInterface ui;
        quilvane::CoSignContent(ui, sig, sig);
    });
}

// Peak memory of signing, verifying and co-signing a sparse document of each size.
int MemoryOnly(int argc, char** argv) {
    Setup setup = MakeSetup();
    // Co-signing checks the signer's chain: the self-signed certificate is its own root.
    fs::create_directories(setup.dir / "data" / "quilvane" / "Root");
    fs::copy_file(setup.cert, setup.dir / "data" / "quilvane" / "Root" / "cert.pem");
    for (int i = 2; i < argc; ++i) {
        const std::size_t mib = std::strtoul(argv[i], nullptr, 10);
        const std::string d = (setup.dir / ("sparse-" + std::to_string(mib))).string();
        { std::ofstream touch(d); }
        fs::resize_file(d, std::uintmax_t{mib} << 20);
        sync();
        const Measure sign = SignOurs(d);
        sync();
        const Measure verify = VerifyOurs(d + ".sig");
        sync();
        const Measure cosign = CoSignOurs(d + ".sig");
        std::printf(
            "%6zu MiB: sign %7.2f s %6.1f MiB | verify %7.2f s %6.1f MiB | co-sign %7.2f s "
            "%6.1f MiB\n",
            mib, sign.seconds, sign.peakMiB, verify.seconds, verify.peakMiB, cosign.seconds,
            cosign.peakMiB);
        std::fflush(stdout);
        fs::remove(d);
        fs::remove(d + ".sig");
    }
    fs::remove_all(setup.dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--memory") {
        return MemoryOnly(argc, argv);
    }
    std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    Setup setup = MakeSetup();
    fs::path dir = setup.dir;
    const std::string& key = setup.key;
    const std::string& cert = setup.cert;

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

    Measure signOurs = Best([&] { return SignOurs(d); });
    Measure signOpenssl = Best([&] {
        return Command("openssl cms -sign -binary -nodetach -outform DER -md sha256 -in " + d +
                       " -signer " + cert + " -inkey " + key + " -out " + d + ".openssl.sig");
    });
    Row("sign", signOurs, signOpenssl, size);

    // Both verify the same file: the one openssl signed.
    Measure verifyOurs = Best([&] { return VerifyOurs(d + ".openssl.sig"); });
    Measure verifyOpenssl = Best([&] {
        return Command("openssl cms -verify -noverify -binary -inform DER -in " + d +
                       ".openssl.sig -out " + d + ".openssl.out");
    });
    Row("verify", verifyOurs, verifyOpenssl, size);
    Measure floor = Best([&] {
        return Command("openssl dgst -sha256 " + d + " >/dev/null && cat " + d + " > " + d +
                       ".copy");
    });
    std::printf("floor    %6.3f s %7.1f MiB | sign %.2fx floor, verify %.2fx floor\n",
                floor.seconds, floor.peakMiB, signOurs.seconds / floor.seconds,
                verifyOurs.seconds / floor.seconds);

    fs::remove_all(dir);
    return 0;
}
