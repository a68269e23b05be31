// Signs and verifies large documents and batches of small ones with
// Quilvane's operations, with `openssl cms` and with gpgsm, and prints a
// Markdown table: wall time (best of the runs, and their median) and peak
// memory of each, beside the floor: `openssl dgst -sha256` then `cat` of the
// same file, and that floor with the copy made durable (`sync FILE`). With --memory, only
// Quilvane's peak memory (and time) for each size, on a sparse document that costs no time to make.
//
//   build/bench/bench [--runs N] [--sizes MIB,...] [--four no]
//                     (5 runs; 256,3072 MiB; four 256 MiB files in one batch)
//   build/bench/bench --memory SIZE_MIB...
//
// Each run happens in a child process of its own after a `sync`, so the peak
// resident size the kernel reports for the child is that run's alone and one
// run's writeback does not slow the next.

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
#include <optional>
#include <string>
#include <vector>

#include "crypto/SignedData.h"
#include "crypto/Store.h"
#include "operations/Batch.h"
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
    double cpu = 0;  // user and system time: what a shared machine does not inflate
};

// Runs `body` in a child process; returns its wall time and peak memory. A
// body that returns false, or a child that fails, ends the benchmark.
Measure InChild(const std::function<bool()>& body) {
    std::fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        std::_Exit(body() ? 0 : 3);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a run failed\n");
        std::exit(1);
    }
    const auto time = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss / 1024.0,
            time(usage.ru_utime) + time(usage.ru_stime)};
}

Measure Command(const std::string& command) {
    return InChild([&] {
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        return false;
    });
}

// Several runs one after the other, as one: their times add up.
Measure Sum(const std::vector<Measure>& runs) {
    Measure sum{0, 0};
    for (const Measure& run : runs) {
        sum.seconds += run.seconds;
        sum.cpu += run.cpu;
        sum.peakMiB = std::max(sum.peakMiB, run.peakMiB);
    }
    return sum;
}

struct Stats {
    double best = 0, median = 0, peakMiB = 0, cpu = 0;
    bool ran = false;
    std::string note;  // why it did not run
};

Stats NotRun(std::string why) {
    Stats stats;
    stats.note = std::move(why);
    return stats;
}

int gRuns = 5;

// `runs` runs, each after a sync: the best and the median wall time, and the largest peak.
Stats Runs(const std::function<Measure()>& run, int runs = gRuns) {
    std::vector<double> times, cpus;
    Stats stats;
    stats.ran = true;
    for (int i = 0; i < runs; ++i) {
        sync();
        const Measure m = run();
        times.push_back(m.seconds);
        cpus.push_back(m.cpu);
        stats.peakMiB = std::max(stats.peakMiB, m.peakMiB);
    }
    std::sort(times.begin(), times.end());
    stats.best = times.front();
    stats.median = times[times.size() / 2];
    stats.cpu = *std::min_element(cpus.begin(), cpus.end());
    return stats;
}

std::string Cell(const Stats& stats) {
    if (!stats.ran) {
        return stats.note;
    }
    if (!stats.note.empty()) {
        Stats plain = stats;
        plain.note.clear();
        return Cell(plain) + stats.note;
    }
    char text[128];
    std::snprintf(text, sizeof text, "%.3f s (median %.3f, CPU %.3f s), %.1f MiB", stats.best,
                  stats.median, stats.cpu, stats.peakMiB);
    return text;
}

std::string Ratio(const Stats& ours, const Stats& against) {
    if (!ours.ran || !against.ran || against.best <= 0) {
        return "";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", ours.best / against.best);
    return text;
}

struct Row {
    std::string what;
    Stats ours, openssl, gpgsm;
    std::string against;  // what the ratio compares with, and the target
    std::string ratio;
};

// The personal store of a bench run: one RSA-2048 certificate and its key,
// also trusted, so that verifying ends in a trusted verdict as it would for
// a person; and a throw-away GnuPG home with the same key for gpgsm.
struct Setup {
    fs::path dir;
    std::string key, cert;
    std::string gpgsm;  // the gpgsm command with its options; "" when it cannot be set up
};

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string SetUpGpgsm(const Setup& setup) {
    const fs::path home = setup.dir / "gnupg";
    fs::create_directories(home);
    fs::permissions(home, fs::perms::owner_all);
    const std::string h = home.string();
    const std::string env = "GNUPGHOME=" + h + " ";
    std::ofstream(home / "gpg-agent.conf") << "allow-loopback-pinentry\n";
    std::ofstream(home / "gpgsm.conf") << "disable-crl-checks\npinentry-mode loopback\n";
    std::ofstream(home / "pass") << "bench\n";
    // gpgsm reads only the older PKCS #12 ciphers, and wants a passphrase.
    if (!Shell("openssl pkcs12 -export -inkey " + setup.key + " -in " + setup.cert +
               " -passout pass:bench -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1 "
               "-out " +
               h + "/key.p12 2>/dev/null") ||
        !Shell(env + "gpgsm --batch --pinentry-mode loopback --passphrase-fd 3 --import " + h +
               "/key.p12 3<" + h + "/pass >/dev/null 2>&1") ||
        !Shell("openssl x509 -in " + setup.cert +
               " -noout -fingerprint -sha1 | cut -d= -f2 | "
               "sed 's/$/ S relax/' > " +
               h + "/trustlist.txt")) {
        return "";
    }
    return env + "gpgsm --batch --passphrase-fd 3 3<" + h + "/pass";
}

Setup MakeSetup() {
    char pattern[] = "/var/tmp/quilvane-bench-XXXXXX";
    Setup setup{mkdtemp(pattern), {}, {}, {}};
    const fs::path data = setup.dir / "data" / "quilvane";
    fs::create_directories(data / "My");
    fs::create_directories(data / "Root");
    setenv("XDG_DATA_HOME", (setup.dir / "data").c_str(), 1);
    setup.key = (data / "My" / "key.pem").string();
    setup.cert = (data / "My" / "cert.pem").string();
    if (!Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + setup.key + " -out " +
               setup.cert + " -days 30 -subj /CN=Bench 2>/dev/null")) {
        std::exit(1);
    }
    fs::copy_file(setup.cert, data / "Root" / "cert.pem");
    setup.gpgsm = SetUpGpgsm(setup);
    return setup;
}

void MakeDocument(const fs::path& path, std::size_t bytes, std::uint64_t seed) {
    // Pseudo-random bytes (xorshift: fast, incompressible enough).
    std::vector<std::uint64_t> block(std::min<std::size_t>(1 << 17, (bytes + 7) / 8));
    std::uint64_t x = 88172645463325252ull ^ seed;
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < bytes;) {
        for (auto& word : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        const std::size_t now = std::min(bytes - written, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(now));
        written += now;
    }
}

// Each sign makes a new file, rather than keeping the last run's as NAME~.
void Unsign(const std::string& document) {
    fs::remove(document + ".sig");
    fs::remove(document + ".sig~");
}

Measure SignOurs(const std::string& document) {
    Unsign(document);
    return InChild([&] {
        QuietUserInterface ui;
        return quilvane::SignFile(ui, document, document + ".sig") == quilvane::Outcome::Completed;
    });
}
Measure VerifyOurs(const std::string& sig) {
    return InChild([&] {
        QuietUserInterface ui;
        return quilvane::VerifySig(ui, sig) == quilvane::Outcome::Completed;
    });
}
Measure CoSignOurs(const std::string& sig) {
    return InChild([&] {
        QuietUserInterface ui;
        return quilvane::CoSignContent(ui, sig, sig) == quilvane::Outcome::Completed;
    });
}
Measure BatchOurs(quilvane::BatchAction action, const std::vector<std::string>& paths) {
    if (action == quilvane::BatchAction::Sign) {
        std::ranges::for_each(paths, Unsign);
    }
    return InChild([&] {
        QuietUserInterface ui;
        return quilvane::RunBatch(ui, action, paths, quilvane::BatchMessages::Each) ==
               quilvane::Outcome::Completed;
    });
}

std::string Joined(const std::vector<std::string>& paths, const std::string& suffix) {
    std::string text;
    for (const std::string& path : paths) {
        text += " " + path + suffix;
    }
    return text;
}

// Peak memory of signing, verifying and co-signing a sparse document of each size.
int MemoryOnly(int argc, char** argv) {
    Setup setup = MakeSetup();
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

std::string OpensslSign(const Setup& setup, const std::string& d) {
    return "openssl cms -sign -binary -nodetach -outform DER -md sha256 -in " + d + " -signer " +
           setup.cert + " -inkey " + setup.key + " -out " + d + ".openssl.sig";
}
std::string OpensslVerify(const Setup& setup, const std::string& d) {
    return "openssl cms -verify -CAfile " + setup.cert + " -binary -inform DER -in " + d +
           ".openssl.sig -out " + d + ".openssl.out 2>/dev/null";
}
std::string GpgsmSign(const Setup& setup, const std::string& d) {
    return setup.gpgsm + " --sign -o " + d + ".gsig " + d + " 2>/dev/null";
}
std::string GpgsmVerify(const Setup& setup, const std::string& d) {
    return setup.gpgsm + " --verify -o " + d + ".gout " + d + ".gsig 2>/dev/null";
}
// A shell loop of one command per file.
std::string EachFile(const std::vector<std::string>& paths, const std::string& command) {
    return "for d in" + Joined(paths, "") + "; do " + command + " || exit 1; done";
}

// Sign and verify of one document of `mib` MiB against the floor, openssl
// cms and gpgsm (up to the size openssl cms can hold).
void LargeDocument(const Setup& setup, std::size_t mib, std::vector<Row>& rows) {
    const std::string d = (setup.dir / ("document-" + std::to_string(mib))).string();
    MakeDocument(d, mib << 20, mib);
    const std::string size =
        mib >= 1024 ? std::to_string(mib >> 10) + " GiB" : std::to_string(mib) + " MiB";
    const bool others = mib <= 1024;
    const Stats floor = Runs([&] {
        return Command("openssl dgst -sha256 " + d + " >/dev/null && cat " + d + " > " + d +
                       ".copy");
    });
    // The floor's copy stays in the page cache; ours is on the disk before
    // it is reported, as every write of Quilvane's is. The same copy made
    // durable shows what the disk alone asks.
    const Stats durable = Runs([&] {
        return Command("rm -f " + d + ".copy && openssl dgst -sha256 " + d + " >/dev/null && cat " +
                       d + " > " + d + ".copy && sync " + d + ".copy");
    });
    fs::remove(d + ".copy");
    const Stats sign = Runs([&] { return SignOurs(d); });
    const Stats verify = Runs([&] { return VerifyOurs(d + ".sig"); });
    const Stats noOpenssl = NotRun("not run (holds the file in memory; fails near 1.7 GB)");
    const Stats signOpenssl =
        others ? Runs([&] { return Command(OpensslSign(setup, d)); }) : noOpenssl;
    const Stats verifyOpenssl =
        others ? Runs([&] { return Command(OpensslVerify(setup, d)); }) : noOpenssl;
    const Stats noGpgsm = NotRun(setup.gpgsm.empty() ? "could not be set up" : "not run");
    const Stats signGpgsm = others && !setup.gpgsm.empty()
                                ? Runs([&] { return Command(GpgsmSign(setup, d)); })
                                : noGpgsm;
    const Stats verifyGpgsm = others && !setup.gpgsm.empty()
                                  ? Runs([&] { return Command(GpgsmVerify(setup, d)); })
                                  : noGpgsm;
    const std::string target = mib >= 1024 ? "0.8x" : "0.7x";
    const auto ratios = [&](const Stats& ours) {
        return Ratio(ours, floor) + " (" + Ratio(ours, durable) + " of the durable floor)";
    };
    rows.push_back({"sign " + size, sign, signOpenssl, signGpgsm,
                    "floor " + Cell(floor) + " (target " + target + "); durable floor, with " +
                        "`sync` of the copy: " + Cell(durable),
                    ratios(sign)});
    rows.push_back({"verify and extract " + size, verify, verifyOpenssl, verifyGpgsm,
                    "the floors above (target " + target + ")", ratios(verify)});
    for (const char* suffix : {"", ".sig", ".openssl.sig", ".openssl.out", ".gsig", ".gout"}) {
        fs::remove(d + suffix);
    }
}

// A batch of 1,000 documents of 4 KiB: one process for all (openssl cms: one
// process per file, for 200 of them, one run).
void SmallFiles(const Setup& setup, std::vector<Row>& rows) {
    const fs::path folder = setup.dir / "small";
    fs::create_directories(folder);
    std::vector<std::string> paths, sigs;
    for (int i = 0; i < 1000; ++i) {
        paths.push_back((folder / ("doc" + std::to_string(i))).string());
        sigs.push_back(paths.back() + ".sig");
        MakeDocument(paths.back(), 4096, i);
    }
    const Stats sign = Runs([&] { return BatchOurs(quilvane::BatchAction::Sign, paths); });
    const Stats verify = Runs([&] { return BatchOurs(quilvane::BatchAction::Verify, sigs); });
    // A process a file: the first 200 files, once.
    const std::vector<std::string> some(paths.begin(), paths.begin() + 200);
    Stats signOpenssl = Runs([&] { return Command(EachFile(some, OpensslSign(setup, "$d"))); }, 1);
    Stats verifyOpenssl =
        Runs([&] { return Command(EachFile(some, OpensslVerify(setup, "$d"))); }, 1);
    signOpenssl.note = verifyOpenssl.note = " (200 files, one run)";
    const Stats gpgsm =
        NotRun(setup.gpgsm.empty() ? "could not be set up" : "not run (over a second a file)");
    rows.push_back({"--sign 1,000 × 4 KiB", sign, signOpenssl, gpgsm, "target 0.8 s", ""});
    rows.push_back({"--verify 1,000 × 4 KiB", verify, verifyOpenssl, gpgsm, "target 0.8 s", ""});
    fs::remove_all(folder);
}

// Four documents of 256 MiB in one batch, against four single signs one
// after the other.
void FourLarge(const Setup& setup, std::vector<Row>& rows) {
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        paths.push_back((setup.dir / ("large" + std::to_string(i))).string());
        MakeDocument(paths.back(), std::size_t{256} << 20, 100 + i);
    }
    const Stats singles = Runs([&] {
        std::vector<Measure> each;
        for (const std::string& path : paths) {
            each.push_back(SignOurs(path));
        }
        return Sum(each);
    });
    const Stats batch = Runs([&] { return BatchOurs(quilvane::BatchAction::Sign, paths); });
    rows.push_back({"--sign 4 × 256 MiB", batch, NotRun(""), NotRun(""),
                    "four single signs " + Cell(singles) + " (target 0.65x)",
                    Ratio(batch, singles)});
    for (const std::string& path : paths) {
        fs::remove(path);
        fs::remove(path + ".sig");
    }
}

std::vector<std::size_t> Sizes(const std::string& list) {
    std::vector<std::size_t> sizes;
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        sizes.push_back(std::strtoul(list.substr(at, comma - at).c_str(), nullptr, 10));
        at = comma + 1;
    }
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--memory") {
        return MemoryOnly(argc, argv);
    }
    std::vector<std::size_t> sizes{256, 3072};
    bool fourLarge = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--four") {
            fourLarge = std::string(argv[i + 1]) != "no";
        } else if (std::string(argv[i]) == "--runs") {
            gRuns = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::string(argv[i]) == "--sizes") {
            sizes = Sizes(argv[i + 1]);
        }
    }
    Setup setup = MakeSetup();
    std::vector<Row> rows;
    SmallFiles(setup, rows);
    if (fourLarge) {
        FourLarge(setup, rows);
    }
    for (std::size_t mib : sizes) {
        if (mib > 0) {
            LargeDocument(setup, mib, rows);
        }
    }

    std::printf(
        "\n| %d runs each, best (median), peak memory | Quilvane | against | ratio |"
        " `openssl cms` | gpgsm |\n|---|---|---|---|---|---|\n",
        gRuns);
    for (const Row& row : rows) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.what.c_str(), Cell(row.ours).c_str(),
                    row.against.c_str(), row.ratio.c_str(), Cell(row.openssl).c_str(),
                    Cell(row.gpgsm).c_str());
    }
    fs::remove_all(setup.dir);
    return 0;
}
