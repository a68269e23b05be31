#include "support/TestPki.h"

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <sys/wait.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quilvane::test {
namespace {

// No test program may see the real home's NSS databases or the system's
// SoftHSM2 tokens: both point into a folder of the program's own before
// anything reads them.
struct PrivateHome {
    TempDir dir;
    PrivateHome() {
        fs::create_directories(dir / "home");
        fs::create_directories(dir / "tokens");
        WriteFile(dir / "softhsm2.conf", "directories.tokendir = " + (dir / "tokens").string() +
                                             "\nobjectstore.backend = file\nlog.level = ERROR\n");
        setenv("HOME", (dir / "home").c_str(), 1);
        setenv("SOFTHSM2_CONF", (dir / "softhsm2.conf").c_str(), 1);
    }
};
const PrivateHome kPrivateHome;

}  // namespace

void ClearPrivateHome() {
    for (const char* folder : {"home", "tokens"}) {
        for (const auto& entry : fs::directory_iterator(kPrivateHome.dir / folder)) {
            fs::remove_all(entry.path());
        }
    }
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quilvane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Restore write permission a test may have taken away, then remove all.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

int RunStatus(const std::string& command, std::string* output) {
    std::string full = "(" + command + ") 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen failed: " + command);
    }
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        text.append(chunk, n);
    }
    int status = pclose(pipe);
    if (output != nullptr) {
        *output = std::move(text);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string Run(const std::string& command) {
    std::string output;
    if (RunStatus(command, &output) != 0) {
        throw std::runtime_error("command failed: " + command + "\n" + output);
    }
    return output;
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? "'\\''" : std::string(1, c);
    }
    return quoted + "'";
}

void WithFileSizeLimit(std::size_t bytes, const std::function<void()>& action) {
    struct Restore {
        rlimit saved{};
        void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        ~Restore() {
            setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, handler);
        }
    } restore;
    getrlimit(RLIMIT_FSIZE, &restore.saved);
    rlimit small = restore.saved;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
    action();
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void OpensslSign(const fs::path& document, const fs::path& out,
                 const std::vector<Identity>& signers, const std::string& extra) {
    std::string by;
    for (const Identity& signer : signers) {
        by += " -signer " + Quote(signer.cert.string()) + " -inkey " + Quote(signer.key.string());
    }
    Openssl("cms -sign -binary -nodetach -outform DER -md sha256", extra, "-in", document, "-out",
            out, by);
}

SharedPki::SharedPki(fs::path folder) : pki(std::move(folder)) {
    alice = pki.issue("alice", "/CN=Alice Example/O=Example Ltd", KeyType::Rsa);
    bob = pki.issue("bob", "/CN=Bob Example", KeyType::Ec);
    carol = pki.issue("carol", "/emailAddress=carol@example.org/O=Carol Ltd", KeyType::Rsa);
}

SharedPki& SharedPki::get() {
    // Lives until the program ends; the folder goes with it.
    static TempDir folder;
    static SharedPki shared(folder.path());
    return shared;
}

StoreHome::StoreHome(const fs::path& dataHome) : dataHome_(dataHome) {
    if (const char* old = std::getenv("XDG_DATA_HOME")) {
        old_ = old;
    }
    setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
    fs::create_directories(my());
    fs::create_directories(root());
}

StoreHome::~StoreHome() {
    old_ ? setenv("XDG_DATA_HOME", old_->c_str(), 1) : unsetenv("XDG_DATA_HOME");
}

fs::path StoreHome::my() const {
    return dataHome_ / "quilvane" / "My";
}
fs::path StoreHome::root() const {
    return dataHome_ / "quilvane" / "Root";
}

void StoreHome::add(const std::vector<fs::path>& files) const {
    for (const auto& file : files) {
        fs::copy_file(file, my() / file.filename(), fs::copy_options::overwrite_existing);
    }
}

}  // namespace quilvane::test
