#pragma once
// Real files in temporary folders, certificates, and the openssl command.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quilvane::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

// Runs a shell command; throws std::runtime_error with its output when it fails.
std::string Run(const std::string& command);
// Runs a shell command and returns its exit status (output discarded into `output`).
int RunStatus(const std::string& command, std::string* output = nullptr);
// Quotes a path or word for the shell.
std::string Quote(const std::string& text);

// Runs openssl with `words`, paths among them quoted; returns what it wrote.
inline std::string Word(const auto& word) {
    return word;
}
inline std::string Word(const fs::path& path) {
    return Quote(path.string());
}
template <typename... Words>
std::string Openssl(const Words&... words) {
    return Run(("openssl" + ... + (" " + Word(words))));
}

// Runs `action` with files limited to `bytes` bytes, as a full disk would:
// writes past the limit fail with EFBIG.
void WithFileSizeLimit(std::size_t bytes, const std::function<void()>& action);

// Empties the test program's own HOME and SoftHSM2 token folder, which every
// test program points at before anything reads them (TestPki.cpp).
void ClearPrivateHome();

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& bytes);

enum class KeyType { Rsa, RsaPss, Ec, EcP384, Ed25519 };

struct Identity {
    fs::path cert;  // PEM certificate
    fs::path key;   // PEM private key, unencrypted
};

// A little PKI in a folder: a root and users it issues, made with OpenSSL's
// API (Forge.cpp); each as PEM files for the openssl command.
class Pki {
  public:
    explicit Pki(fs::path folder);

    // The self-signed root (made on first use).
    const Identity& root();
    // A user certificate issued by the root. `subject` is an openssl -subj text
    // such as "/CN=Alice Example"; `notBefore`/`notAfter` are dates
    // (YYYYMMDDHHMMSSZ) or empty for "yesterday" and "in a year".
    Identity issue(const std::string& name, const std::string& subject, KeyType type = KeyType::Rsa,
                   const std::string& notBefore = {}, const std::string& notAfter = {});
    // An issuing authority under the root (made on first use), as real
    // authorities issue people's certificates through one.
    const Identity& intermediate();
    // A certificate issued by `issuer` with extensions of one's own besides
    // the usual ones of a user (`ca`: of an authority), such as
    // {NID_info_access, "OCSP;URI:http://127.0.0.1:8080/ocsp"},
    // {NID_crl_distribution_points, "URI:http://127.0.0.1:8080/ca.crl"} or
    // {NID_ext_key_usage, "critical,timeStamping"}; one of the usual ones
    // (such as NID_key_usage) given here replaces it.
    using Extensions = std::vector<std::pair<int, std::string>>;
    Identity issueBy(const Identity& issuer, const std::string& name, const std::string& subject,
                     KeyType type, const Extensions& extra, bool ca = false,
                     const std::string& notBefore = {}, const std::string& notAfter = {});

    const fs::path& folder() const { return folder_; }

  private:
    fs::path folder_;
    Identity root_, intermediate_;
};

// Certificates made once per test program: making RSA keys takes a moment.
struct SharedPki {
    Pki pki;
    Identity alice;  // RSA, "/CN=Alice Example/O=Example Ltd"
    Identity bob;    // EC P-256, "/CN=Bob Example"
    Identity carol;  // RSA, no common name: "/emailAddress=carol@example.org/O=Carol Ltd"

    static SharedPki& get();

  private:
    explicit SharedPki(fs::path folder);
};

// Signs `document` with `openssl cms -sign` into `out`: content attached, DER,
// SHA-256, one signer-info per identity; `extra` adds options such as -noattr.
void OpensslSign(const fs::path& document, const fs::path& out,
                 const std::vector<Identity>& signers, const std::string& extra = {});

// Points $XDG_DATA_HOME at `dataHome` for the life of the object, so that the
// personal store is `dataHome`/quilvane/My; restores the old value after.
class StoreHome {
  public:
    explicit StoreHome(const fs::path& dataHome);
    ~StoreHome();
    StoreHome(const StoreHome&) = delete;
    StoreHome& operator=(const StoreHome&) = delete;

    fs::path my() const;    // the personal store folder (created)
    fs::path root() const;  // the user's trusted roots (created)
    // Copies files into the personal store.
    void add(const std::vector<fs::path>& files) const;

  private:
    fs::path dataHome_;
    std::optional<std::string> old_;
};

}  // namespace quilvane::test
