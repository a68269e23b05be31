#include "support/TestPki.h"

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <sys/wait.h>
#include <array>
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
    std::array<char, 4096> chunk{};
    size_t n = 0;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        text.append(chunk.data(), n);
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
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

void WithFileSizeLimit(std::size_t bytes, const std::function<void()>& action) {
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
    try {
        action();
    } catch (...) {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        throw;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
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

Pki::Pki(fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
}

fs::path Pki::newKey(const std::string& name, KeyType type) {
    fs::path key = folder_ / (name + ".key");
    std::string algorithm;
    switch (type) {
        case KeyType::Rsa:
            algorithm = "-algorithm RSA -pkeyopt rsa_keygen_bits:2048";
            break;
        case KeyType::Ec:
            algorithm = "-algorithm EC -pkeyopt ec_paramgen_curve:P-256";
            break;
        case KeyType::Ed25519:
            algorithm = "-algorithm ED25519";
            break;
    }
    Run("openssl genpkey " + algorithm + " -out " + Quote(key.string()));
    return key;
}

const Identity& Pki::root() {
    if (root_.cert.empty()) {
        fs::path key = newKey("root", KeyType::Ec);
        fs::path cert = folder_ / "root.pem";
        Run("openssl req -new -x509 -key " + Quote(key.string()) + " -out " + Quote(cert.string()) +
            " -days 3650 -subj '/CN=Quilvane Test Root/O=Quilvane Tests'"
            " -addext basicConstraints=critical,CA:TRUE -addext "
            "keyUsage=critical,keyCertSign,cRLSign");
        root_ = {cert, key};
    }
    return root_;
}

Identity Pki::issue(const std::string& name, const std::string& subject, KeyType type,
                    const std::string& notBefore, const std::string& notAfter) {
    const Identity& ca = root();
    fs::path key = newKey(name, type);
    fs::path csr = folder_ / (name + ".csr");
    fs::path cert = folder_ / (name + ".pem");
    fs::path ext = folder_ / (name + ".ext");
    WriteFile(ext,
              "basicConstraints=CA:FALSE\n"
              "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment\n"
              "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n");
    Run("openssl req -new -key " + Quote(key.string()) + " -out " + Quote(csr.string()) +
        " -subj " + Quote(subject));
    if (notBefore.empty() && notAfter.empty()) {
        Run("openssl x509 -req -in " + Quote(csr.string()) + " -CA " + Quote(ca.cert.string()) +
            " -CAkey " + Quote(ca.key.string()) + " -CAcreateserial -days 365 -extfile " +
            Quote(ext.string()) + " -out " + Quote(cert.string()));
    } else {
        // openssl ca is the command that takes explicit validity dates.
        fs::path db = folder_ / (name + ".db");
        WriteFile(db, "");
        fs::path conf = folder_ / (name + ".cnf");
        WriteFile(
            conf,
            "[ca]\ndefault_ca=test\n[test]\n"
            "database=" +
                db.string() + "\nnew_certs_dir=" + folder_.string() +
                "\nserial=" + (folder_ / (name + ".srl")).string() +
                "\ndefault_md=sha256\npolicy=any\nunique_subject=no\ncopy_extensions=none\n"
                "[any]\ncommonName=optional\nemailAddress=optional\norganizationName=optional\n"
                "countryName=optional\n");
        WriteFile(folder_ / (name + ".srl"), "1000\n");
        Run("openssl ca -batch -notext -config " + Quote(conf.string()) + " -cert " +
            Quote(ca.cert.string()) + " -keyfile " + Quote(ca.key.string()) + " -in " +
            Quote(csr.string()) + " -out " + Quote(cert.string()) + " -extfile " +
            Quote(ext.string()) + (notBefore.empty() ? "" : " -startdate " + notBefore) +
            (notAfter.empty() ? " -days 365" : " -enddate " + notAfter));
    }
    return {cert, key};
}

Identity Pki::selfSigned(const std::string& name, const std::string& subject, KeyType type) {
    fs::path key = newKey(name, type);
    fs::path cert = folder_ / (name + ".pem");
    Run("openssl req -new -x509 -key " + Quote(key.string()) + " -out " + Quote(cert.string()) +
        " -days 365 -subj " + Quote(subject));
    return {cert, key};
}

void OpensslSign(const fs::path& document, const fs::path& out,
                 const std::vector<Identity>& signers, const std::string& extra) {
    std::string command = "openssl cms -sign -binary -nodetach -outform DER -md sha256 " + extra +
                          " -in " + Quote(document.string()) + " -out " + Quote(out.string());
    for (const Identity& signer : signers) {
        command +=
            " -signer " + Quote(signer.cert.string()) + " -inkey " + Quote(signer.key.string());
    }
    Run(command);
}

StoreHome::StoreHome(const fs::path& dataHome) : dataHome_(dataHome) {
    if (const char* old = std::getenv("XDG_DATA_HOME")) {
        old_ = old;
        hadOld_ = true;
    }
    setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
    fs::create_directories(my());
    fs::create_directories(root());
}

StoreHome::~StoreHome() {
    if (hadOld_) {
        setenv("XDG_DATA_HOME", old_.c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
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
