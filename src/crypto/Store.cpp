// The current user's certificate stores: folders of PEM, DER and PKCS #12
// files, read afresh each time a store is opened, and the private keys found
// in them.

#include <openssl/err.h>
#include <openssl/pem.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "crypto/Certificate.h"
#include "crypto/CertificateImpl.h"
#include "crypto/EnvProviders.h"
#include "crypto/Handles.h"

namespace quilvane {

namespace {

namespace fs = std::filesystem;

constexpr const char* kCancelled = "The operation was cancelled by the user.";

// Certificates and keys are small. A bigger file is something else put into
// the folder (a document, an archive) and is passed over without being read.
constexpr std::uintmax_t kLargestStoreFile = 4 * 1024 * 1024;

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The name under which the person knows a store file.
std::string NameOf(const std::string& file) {
    return fs::path(file).filename().string();
}

// Overwrites a passphrase before its memory is given back.
void Forget(std::string& secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

// A read-only memory BIO over `bytes`, which must outlive it.
ossl::BioPtr ReadOnlyBio(std::string_view bytes, const std::string& what) {
    return ossl::BioPtr(ossl::Check(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())),
                                    status::Failed, what));
}

// Hands a passphrase from the user interface to OpenSSL's PEM reader. The
// person is asked at most once, however often the reader calls back.
struct PassphraseRequest {
    PassphraseRequest(UserInterface& ui, std::string prompt) : ui(ui), prompt(std::move(prompt)) {}
    PassphraseRequest(const PassphraseRequest&) = delete;
    PassphraseRequest& operator=(const PassphraseRequest&) = delete;

    UserInterface& ui;
    std::string prompt;
    bool asked = false;
    std::optional<std::string> answer;
    std::exception_ptr failure;  // what the user interface raised

    ~PassphraseRequest() {
        if (answer) {
            Forget(*answer);
        }
    }
};

int AnswerPassphrase(char* buffer, int size, int /*rwflag*/, void* data) {
    auto& request = *static_cast<PassphraseRequest*>(data);
    if (!request.asked) {
        request.asked = true;
        // Nothing may unwind through OpenSSL's frames: keep the error for later.
        try {
            request.answer = request.ui.passphrase(request.prompt);
        } catch (...) {
            request.failure = std::current_exception();
            return -1;
        }
    }
    if (!request.answer || size <= 0) {
        return -1;
    }
    const std::size_t length = std::min(request.answer->size(), static_cast<std::size_t>(size));
    std::memcpy(buffer, request.answer->data(), length);
    return static_cast<int>(length);
}

// The private keys of one opened store. Plain keys are ready at once; an
// encrypted key stays locked until a certificate needs a key that none of
// the ready ones matches. Unlocked keys are kept for the life of the source.
class StoreKeys final : public KeySource {
  public:
    explicit StoreKeys(UserInterface& ui) : ui_(ui) {}

    void AddKey(ossl::PkeyPtr key, const std::string& file) {
        keys_.push_back({file, {}, std::move(key)});
    }
    // `pem` is the key's PEM text, still encrypted.
    void AddLockedKey(std::string pem, const std::string& file) {
        keys_.push_back({file, std::move(pem), nullptr});
    }
    // Remembers which file a certificate came from, so that the encrypted
    // keys most likely to be its own are tried first.
    void AddCertificate(X509* certificate, const std::string& file) {
        certificateFiles_.emplace_back(ossl::Share(certificate), file);
    }

    EVP_PKEY* KeyFor(X509* certificate) override;

  private:
    struct Entry {
        std::string file;
        std::string locked;  // the encrypted PEM text until the key is unlocked
        ossl::PkeyPtr key;
    };

    std::string FileOf(X509* certificate) const;
    ossl::PkeyPtr Unlock(const Entry& entry);

    UserInterface& ui_;
    std::vector<Entry> keys_;
    std::vector<std::pair<ossl::X509Ptr, std::string>> certificateFiles_;
};

std::string StoreKeys::FileOf(X509* certificate) const {
    for (const auto& [x509, file] : certificateFiles_) {
        if (X509_cmp(x509.get(), certificate) == 0) {
            return file;
        }
    }
    return {};
}

EVP_PKEY* StoreKeys::KeyFor(X509* certificate) {
    // A public key of a kind OpenSSL does not know matches no key at all:
    // no passphrase is asked for then.
    EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
    if (publicKey == nullptr) {
        ERR_clear_error();
        throw NoPrivateKeyError(certificate);
    }
    const auto matches = [publicKey](EVP_PKEY* key) {
        // 1 is a match; 0 a different key; below 0 a key of another type.
        const bool match = EVP_PKEY_eq(key, publicKey) == 1;
        ERR_clear_error();
        return match;
    };

    for (const Entry& entry : keys_) {
        if (entry.key != nullptr && matches(entry.key.get())) {
            return entry.key.get();
        }
    }

    // Only an unlocked key shows its public half, so the locked ones are
    // opened one by one: those in the certificate's own file first, then
    // those in a file of the same stem (alice.crt, alice.key), then the rest.
    const fs::path own = FileOf(certificate);
    const auto closeness = [&own](const Entry& entry) {
        const fs::path file = entry.file;
        if (!own.empty() && file == own) {
            return 0;
        }
        if (!own.empty() && file.stem() == own.stem()) {
            return 1;
        }
        return 2;
    };
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i].key == nullptr) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return closeness(keys_[a]) < closeness(keys_[b]);
    });

    for (std::size_t i : order) {
        Entry& entry = keys_[i];
        entry.key = Unlock(entry);
        Forget(entry.locked);
        if (matches(entry.key.get())) {
            return entry.key.get();
        }
    }

    throw NoPrivateKeyError(certificate);
}

ossl::PkeyPtr StoreKeys::Unlock(const Entry& entry) {
    const std::string name = Quoted(NameOf(entry.file));
    PassphraseRequest request(ui_, "Enter the passphrase for the private key in " + name + ":");
    ossl::BioPtr in = ReadOnlyBio(entry.locked, "Could not read the private key in " + name);
    ossl::PkeyPtr key(PEM_read_bio_PrivateKey(in.get(), nullptr, AnswerPassphrase, &request));
    if (request.failure) {
        ERR_clear_error();
        std::rethrow_exception(request.failure);
    }
    if (key != nullptr) {
        return key;
    }
    if (!request.asked) {
        ossl::Raise(status::StoreFailure, "The private key in " + name + " could not be read");
    }
    ERR_clear_error();
    if (!request.answer) {
        throw Error(status::Cancelled, kCancelled);
    }
    throw Error(status::WrongPassphrase,
                "The passphrase for the private key in " + name + " is wrong.");
}

// The PEM text that `write` puts out, for an encrypted key kept locked;
// nothing when it cannot be written.
template <typename Write>
std::optional<std::string> PemText(const std::string& file, Write write) {
    ossl::BioPtr out(ossl::Check(BIO_new(BIO_s_mem()), status::Failed,
                                 "Could not keep the private key in " + Quoted(NameOf(file))));
    if (write(out.get()) <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    char* text = nullptr;
    const long size = BIO_get_mem_data(out.get(), &text);
    return std::string(text, static_cast<std::size_t>(size));
}

// A certificate found in a store file, in the order of the file.
struct Found {
    ossl::X509Ptr x509;
    std::string file;
};

// Reads the files of one store: what each holds is told by its content, so
// a misnamed file is still understood. Whatever cannot be understood is
// passed over, and the rest of the store is still listed.
class StoreReader {
  public:
    StoreReader(UserInterface& ui, StoreKeys& keys, std::vector<Found>& certificates)
        : ui_(ui), keys_(keys), certificates_(certificates) {}

    void Read(const fs::path& path);

  private:
    void ReadPem(std::string_view text, const std::string& file);
    void ReadDer(std::string_view bytes, const std::string& file);
    // False when the bytes are not a PKCS #12 file.
    bool ReadPkcs12(std::string_view bytes, const std::string& file);
    void AddCertificate(ossl::X509Ptr x509, const std::string& file) {
        certificates_.push_back({std::move(x509), file});
    }

    UserInterface& ui_;
    StoreKeys& keys_;
    std::vector<Found>& certificates_;
};

void StoreReader::Read(const fs::path& path) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kLargestStoreFile) {
        return;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        return;
    }
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return;
    }

    const std::string file = path.string();
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if ((extension == ".p12" || extension == ".pfx") && ReadPkcs12(bytes, file)) {
        return;
    }
    if (bytes.find("-----BEGIN ") != std::string::npos) {
        ReadPem(bytes, file);
    } else {
        ReadDer(bytes, file);
    }
    ERR_clear_error();
}

void StoreReader::ReadPem(std::string_view text, const std::string& file) {
    ossl::BioPtr in = ReadOnlyBio(text, "Could not read " + Quoted(NameOf(file)));
    for (;;) {
        const int before = BIO_pending(in.get());
        char* rawName = nullptr;
        char* rawHeader = nullptr;
        unsigned char* rawData = nullptr;
        long length = 0;
        const int read = PEM_read_bio_ex(in.get(), &rawName, &rawHeader, &rawData, &length,
                                         PEM_FLAG_EAY_COMPATIBLE);
        ossl::MemPtr<char> name(rawName);
        ossl::MemPtr<char> header(rawHeader);
        ossl::MemPtr<unsigned char> data(rawData);
        if (read != 1) {
            const unsigned long reason = ERR_peek_last_error();
            ERR_clear_error();
            // The end of the text, or a damaged block: go on after it while
            // the reader still moves forward.
            if (ERR_GET_REASON(reason) == PEM_R_NO_START_LINE || BIO_pending(in.get()) >= before) {
                return;
            }
            continue;
        }

        const std::string_view label = name.get();
        const unsigned char* p = data.get();
        if (label == "CERTIFICATE" || label == "X509 CERTIFICATE") {
            if (X509* x509 = d2i_X509(nullptr, &p, length)) {
                AddCertificate(ossl::X509Ptr(x509), file);
            }
        } else if (label == "TRUSTED CERTIFICATE") {
            if (X509* x509 = d2i_X509_AUX(nullptr, &p, length)) {
                AddCertificate(ossl::X509Ptr(x509), file);
            }
        } else if (label.ends_with("PRIVATE KEY")) {
            const std::string_view headers = header != nullptr ? header.get() : "";
            const bool encrypted = label == "ENCRYPTED PRIVATE KEY" ||
                                   headers.find("ENCRYPTED") != std::string_view::npos;
            if (encrypted) {
                // Kept as PEM text, so that PKCS #8 and the older Proc-Type
                // form are both unlocked by the same reader later.
                if (auto pem = PemText(file, [&](BIO* out) {
                        return PEM_write_bio(out, name.get(), header.get(), data.get(), length);
                    })) {
                    keys_.AddLockedKey(std::move(*pem), file);
                }
            } else if (EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, length)) {
                keys_.AddKey(ossl::PkeyPtr(key), file);
            }
        }
        if (length > 0) {
            OPENSSL_cleanse(data.get(), static_cast<std::size_t>(length));
        }
        ERR_clear_error();
    }
}

void StoreReader::ReadDer(std::string_view bytes, const std::string& file) {
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const long length = static_cast<long>(bytes.size());
    if (length == 0) {
        return;
    }

    const unsigned char* p = begin;
    if (X509* x509 = d2i_X509(nullptr, &p, length)) {
        AddCertificate(ossl::X509Ptr(x509), file);
        return;
    }
    ERR_clear_error();
    if (ReadPkcs12(bytes, file)) {
        return;
    }
    p = begin;
    if (ossl::X509SigPtr sealed{d2i_X509_SIG(nullptr, &p, length)}) {
        // An encrypted PKCS #8 key in DER: kept in its PEM form for unlocking.
        if (auto pem =
                PemText(file, [&](BIO* out) { return PEM_write_bio_PKCS8(out, sealed.get()); })) {
            keys_.AddLockedKey(std::move(*pem), file);
        }
        return;
    }
    ERR_clear_error();
    p = begin;
    if (EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, length)) {
        keys_.AddKey(ossl::PkeyPtr(key), file);
    }
}

bool StoreReader::ReadPkcs12(std::string_view bytes, const std::string& file) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    ossl::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (p12 == nullptr) {
        ERR_clear_error();
        return false;
    }
    // Files written by older programs protect their certificates with RC2.
    LoadLegacyProvider();

    const std::string name = Quoted(NameOf(file));
    const bool hasMac = PKCS12_mac_present(p12.get()) == 1;
    // Without a passphrase: no password at all, or the empty one (the parser
    // tells these two apart by itself).
    const bool needsPassphrase = hasMac && PKCS12_verify_mac(p12.get(), nullptr, 0) != 1 &&
                                 PKCS12_verify_mac(p12.get(), "", 0) != 1;
    ERR_clear_error();

    const auto parse = [&](const char* passphrase) {
        EVP_PKEY* rawKey = nullptr;
        X509* rawCertificate = nullptr;
        STACK_OF(X509)* rawOthers = nullptr;
        const bool parsed =
            PKCS12_parse(p12.get(), passphrase, &rawKey, &rawCertificate, &rawOthers) == 1;
        ossl::PkeyPtr key(rawKey);
        ossl::X509Ptr certificate(rawCertificate);
        ossl::X509StackPtr others(rawOthers);
        ERR_clear_error();
        if (!parsed) {
            return false;
        }
        if (key != nullptr) {
            keys_.AddKey(std::move(key), file);
        }
        if (certificate != nullptr) {
            AddCertificate(std::move(certificate), file);
        }
        // The issuers that came along with the person's certificate are
        // not personal certificates; anything else in the file is.
        for (int i = 0; i < sk_X509_num(others.get()); ++i) {
            X509* other = sk_X509_value(others.get(), i);
            if (X509_check_ca(other) == 0) {
                AddCertificate(ossl::Share(other), file);
            }
        }
        ERR_clear_error();
        return true;
    };

    if (!needsPassphrase) {
        if (parse("") || hasMac) {
            return true;  // read, or damaged behind a good MAC: passed over
        }
        // No MAC to test a passphrase against, and the bags did not open
        // without one: they are protected.
    }

    std::optional<std::string> passphrase =
        ui_.passphrase("Enter the passphrase for " + name + ":");
    if (!passphrase) {
        return true;  // the person chose not to open this file
    }
    const bool accepted = !hasMac || PKCS12_verify_mac(p12.get(), passphrase->c_str(), -1) == 1;
    const bool opened = accepted && parse(passphrase->c_str());
    Forget(*passphrase);
    ERR_clear_error();
    // With a MAC, a passphrase it accepts is right even if the contents then
    // turn out damaged (the file is passed over); without one, only opening
    // the contents tells.
    if (!accepted || (!hasMac && !opened)) {
        throw Error(status::WrongPassphrase, "The passphrase for " + name + " is wrong.");
    }
    return true;
}

std::string DateText(std::time_t instant) {
    std::tm local{};
    if (localtime_r(&instant, &local) == nullptr) {
        return {};
    }
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, "%x", &local);
    return std::string(text, length);
}

fs::path HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        throw Error(status::StoreFailure,
                    "The certificate store cannot be found: the home folder is not known.");
    }
    return found->pw_dir;
}

}  // namespace

std::string Store::Folder(const std::string& name) {
    // A relative XDG_DATA_HOME is not valid and is ignored, like an empty one.
    fs::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        data = xdg;
    } else {
        data = HomeFolder() / ".local" / "share";
    }
    return (data / "quilvane" / name).string();
}

void Store::Open(UserInterface& ui, StoreLocation /*location*/, const std::string& name,
                 StoreOpenMode /*mode*/) {
    // Only the current user's stores exist, and they are only ever read.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw Error(status::StoreFailure,
                    "There is no certificate store named " + Quoted(name) + ".");
    }
    const fs::path folder = Folder(name);

    std::vector<fs::path> files;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec == std::errc::no_such_file_or_directory) {
        certificates_ = {};
        return;
    }
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code kind;
        if (it->is_regular_file(kind)) {
            files.push_back(it->path());
        }
    }
    if (ec) {
        throw Error(status::StoreFailure, "The certificate store folder " +
                                              Quoted(folder.string()) +
                                              " could not be read: " + ec.message() + ".");
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().native() < b.filename().native();
    });

    auto keys = std::make_shared<StoreKeys>(ui);
    std::vector<Found> found;
    StoreReader reader(ui, *keys, found);
    for (const fs::path& file : files) {
        reader.Read(file);
    }

    std::vector<Certificate> certificates;
    certificates.reserve(found.size());
    for (const Found& item : found) {
        keys->AddCertificate(item.x509.get(), item.file);
        certificates.push_back(MakeCertificate(item.x509.get(), item.file, keys));
    }
    certificates_ = quilvane::Certificates(std::move(certificates));
}

Certificates Certificates::Select(UserInterface& ui, const std::string& title,
                                  const std::string& prompt, bool /*multiSelect*/) const {
    // The pick list always lets one certificate be chosen: that is all any
    // caller asks for.
    std::vector<CertificateRow> rows;
    rows.reserve(items_.size());
    for (const Certificate& certificate : items_) {
        rows.push_back({certificate.GetInfo(CertInfo::SubjectSimpleName),
                        certificate.GetInfo(CertInfo::IssuerSimpleName),
                        DateText(certificate.ValidTo()), NameOf(certificate.File())});
    }
    const std::optional<std::size_t> choice = ui.pickCertificate(title, prompt, rows);
    if (!choice) {
        throw Error(status::Cancelled, kCancelled);
    }
    if (*choice >= items_.size()) {
        throw Error(status::NoSuchItem, "The chosen certificate is not in the list.");
    }
    return quilvane::Certificates(std::vector<Certificate>{items_[*choice]});
}

}  // namespace quilvane
