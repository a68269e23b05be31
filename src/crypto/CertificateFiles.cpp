// Reading the files of a certificate folder: PEM (any number of blocks), DER
// and PKCS #12.

#include "internal/CertificateFiles.h"

#include <openssl/pem.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "crypto/Paths.h"
#include "crypto/Text.h"
#include "internal/Names.h"
#include "internal/Providers.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;

// Certificates and keys are small. A bigger file is something else put into
// the folder (a document, an archive) and is passed over without being read.
constexpr std::uintmax_t kLargestFile = 4 * 1024 * 1024;

// A read-only memory BIO over `bytes`, which must outlive it.
ossl::BioPtr ReadOnlyBio(std::string_view bytes, const std::string& what) {
    return ossl::BioPtr(ossl::Check(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())),
                                    status::Failed, what));
}

// The PEM text that `write` puts out, for an encrypted key kept locked;
// nothing when it cannot be written.
template <typename Write>
std::optional<std::string> PemText(const std::string& file, Write write) {
    ossl::BioPtr out(ossl::Check(BIO_new(BIO_s_mem()), status::Failed,
                                 Format(Tr("Could not keep the private key in %1"), Quoted(file))));
    if (write(out.get()) <= 0) {
        return std::nullopt;
    }
    return ossl::MemoryText(out.get());
}

class Reader {
  public:
    // How a protected PKCS #12 file is met: asked for at once, kept locked,
    // or unlocked on demand, where a failure is raised rather than passed over.
    enum class Pkcs12Mode { Ask, Keep, Unlock };

    Reader(const fs::path& path, const SecretPrompt* prompt, Pkcs12Mode mode)
        : file_(path.filename().string()), prompt_(prompt), mode_(mode) {}

    void Read(std::string_view bytes, bool pkcs12Name) {
        ossl::ErrorMark mark;
        if (pkcs12Name && ReadPkcs12(bytes)) {
            return;
        }
        if (bytes.find("-----BEGIN ") != std::string_view::npos) {
            ReadPem(bytes);
        } else {
            ReadDer(bytes);
        }
        SetAuthoritiesApart();
    }

    // False when the bytes are not a PKCS #12 file.
    bool ReadPkcs12(std::string_view bytes);

    CertificateFile contents;

  private:
    void ReadPem(std::string_view text);
    void ReadDer(std::string_view bytes);
    // A person's certificate with its chain: the issuers are not the
    // person's, as in a PKCS #12 file.
    void SetAuthoritiesApart();

    std::string file_;
    const SecretPrompt* prompt_;
    Pkcs12Mode mode_;
};

void Reader::SetAuthoritiesApart() {
    std::vector<ossl::X509Ptr>& all = contents.certificates;
    const auto isAuthority = [](const ossl::X509Ptr& x509) {
        return X509_check_ca(x509.get()) != 0;
    };
    if (std::all_of(all.begin(), all.end(), isAuthority)) {
        return;
    }
    const auto split = std::stable_partition(
        all.begin(), all.end(), [&](const ossl::X509Ptr& x509) { return !isAuthority(x509); });
    std::move(split, all.end(), std::back_inserter(contents.authorities));
    all.erase(split, all.end());
}

void Reader::ReadPem(std::string_view text) {
    ossl::BioPtr in = ReadOnlyBio(text, Format(Tr("Could not read %1"), Quoted(file_)));
    for (;;) {
        ossl::ErrorMark mark;
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
            // The end of the text, or a damaged block: go on after it while
            // the reader still moves forward.
            const unsigned long reason = ERR_peek_last_error();
            if (ERR_GET_REASON(reason) == PEM_R_NO_START_LINE || BIO_pending(in.get()) >= before) {
                return;
            }
            continue;
        }

        const std::string_view label = name.get();
        const unsigned char* p = data.get();
        if (label == "CERTIFICATE" || label == "X509 CERTIFICATE") {
            if (X509* x509 = d2i_X509(nullptr, &p, length)) {
                contents.certificates.emplace_back(x509);
            }
        } else if (label == "TRUSTED CERTIFICATE") {
            if (X509* x509 = d2i_X509_AUX(nullptr, &p, length)) {
                contents.certificates.emplace_back(x509);
            }
        } else if (label.ends_with("PRIVATE KEY")) {
            const std::string_view headers = header != nullptr ? header.get() : "";
            const bool encrypted = label == "ENCRYPTED PRIVATE KEY" ||
                                   headers.find("ENCRYPTED") != std::string_view::npos;
            if (encrypted) {
                // Kept as PEM text, so that PKCS #8 and the older Proc-Type
                // form are both unlocked by the same reader later.
                if (auto pem = PemText(file_, [&](BIO* out) {
                        return PEM_write_bio(out, name.get(), header.get(), data.get(), length);
                    })) {
                    contents.lockedKeys.push_back(std::move(*pem));
                }
            } else if (EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, length)) {
                contents.keys.emplace_back(key);
            }
        }
        if (length > 0) {
            OPENSSL_cleanse(data.get(), static_cast<std::size_t>(length));
        }
    }
}

void Reader::ReadDer(std::string_view bytes) {
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const long length = static_cast<long>(bytes.size());
    if (length == 0) {
        return;
    }
    const unsigned char* p = begin;
    if (X509* x509 = d2i_X509(nullptr, &p, length)) {
        contents.certificates.emplace_back(x509);
        return;
    }
    if (ReadPkcs12(bytes)) {
        return;
    }
    p = begin;
    if (ossl::X509SigPtr sealed{d2i_X509_SIG(nullptr, &p, length)}) {
        // An encrypted PKCS #8 key in DER: kept in its PEM form for unlocking.
        if (auto pem =
                PemText(file_, [&](BIO* out) { return PEM_write_bio_PKCS8(out, sealed.get()); })) {
            contents.lockedKeys.push_back(std::move(*pem));
        }
        return;
    }
    p = begin;
    if (EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, length)) {
        contents.keys.emplace_back(key);
    }
}

bool Reader::ReadPkcs12(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    ossl::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (p12 == nullptr) {
        return false;
    }
    // Files written by older programs protect their certificates with RC2.
    LoadLegacyProvider();

    const std::string name = Quoted(file_);
    const bool hasMac = PKCS12_mac_present(p12.get()) == 1;
    // Without a passphrase: no password at all, or the empty one (the parser
    // tells these two apart by itself).
    const bool needsPassphrase = hasMac && PKCS12_verify_mac(p12.get(), nullptr, 0) != 1 &&
                                 PKCS12_verify_mac(p12.get(), "", 0) != 1;

    const auto parse = [&](const char* passphrase) {
        EVP_PKEY* rawKey = nullptr;
        X509* rawCertificate = nullptr;
        STACK_OF(X509)* rawOthers = nullptr;
        const bool parsed =
            PKCS12_parse(p12.get(), passphrase, &rawKey, &rawCertificate, &rawOthers) == 1;
        ossl::PkeyPtr key(rawKey);
        ossl::X509Ptr certificate(rawCertificate);
        ossl::X509StackPtr others(rawOthers);
        if (!parsed) {
            return false;
        }
        if (key != nullptr) {
            contents.keys.push_back(std::move(key));
        }
        if (certificate != nullptr) {
            contents.certificates.push_back(std::move(certificate));
        }
        // The issuers that came along with the person's certificate are
        // not personal certificates; anything else in the file is.
        for (int i = 0; i < sk_X509_num(others.get()); ++i) {
            X509* other = sk_X509_value(others.get(), i);
            (X509_check_ca(other) == 0 ? contents.certificates : contents.authorities)
                .push_back(ossl::Share(other));
        }
        return true;
    };

    if (!needsPassphrase) {
        if (parse("") || hasMac) {
            return true;  // read, or damaged behind a good MAC: passed over
        }
        // No MAC to test a passphrase against, and the bags did not open
        // without one: they are protected.
    }
    if (mode_ == Pkcs12Mode::Keep) {
        contents.lockedPkcs12.assign(bytes);
        return true;
    }
    if (prompt_ == nullptr || !*prompt_) {
        if (mode_ == Pkcs12Mode::Unlock) {
            throw CancelledError();
        }
        return true;
    }
    SecretRequest question{SecretRequest::Kind::Passphrase,
                           Format(Tr("Enter the passphrase for %1:"), name), false};
    for (int tries = 1;; ++tries) {
        std::optional<Secret> passphrase = (*prompt_)(question);
        // An empty answer is no try: a file without a passphrase never asks.
        if (!passphrase || passphrase->text().empty()) {
            if (mode_ == Pkcs12Mode::Unlock) {
                throw CancelledError();
            }
            return true;  // the person chose not to open this file
        }
        const char* text = passphrase->text().c_str();
        const bool accepted = !hasMac || PKCS12_verify_mac(p12.get(), text, -1) == 1;
        const bool opened = accepted && parse(text);
        // With a MAC, a passphrase it accepts is right even if the contents
        // then turn out damaged (the file is passed over); without one, only
        // opening the contents tells.
        if (accepted && (hasMac || opened)) {
            return true;
        }
        if (!AskAgain(question, tries)) {
            if (mode_ == Pkcs12Mode::Unlock) {
                throw Error(status::WrongPassphrase,
                            Format(Tr("The passphrase for %1 is wrong."), name));
            }
            // One file the person cannot open does not close the whole store.
            contents.warnings.push_back(Format(
                Tr("The passphrase for %1 was wrong three times: its certificates are not listed."),
                name));
            return true;
        }
    }
}

}  // namespace

CertificateFile ReadCertificateBytes(std::string_view bytes, const fs::path& file,
                                     const SecretPrompt* prompt, LockedPkcs12 locked) {
    const std::string extension = Lowered(file.extension().string());
    Reader reader(
        file, prompt,
        locked == LockedPkcs12::Keep ? Reader::Pkcs12Mode::Keep : Reader::Pkcs12Mode::Ask);
    reader.Read(bytes, extension == ".p12" || extension == ".pfx");
    return std::move(reader.contents);
}

CertificateFile UnlockPkcs12(std::string_view bytes, const fs::path& file,
                             const SecretPrompt& prompt) {
    Reader reader(file, &prompt, Reader::Pkcs12Mode::Unlock);
    ossl::ErrorMark mark;
    if (!reader.ReadPkcs12(bytes)) {
        ossl::Raise(status::StoreFailure,
                    Format(Tr("The file %1 could not be read"), Quoted(file.filename().string())));
    }
    return std::move(reader.contents);
}

CertificateFile ReadCertificateFile(const fs::path& file, const SecretPrompt* prompt,
                                    LockedPkcs12 locked) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec || size > kLargestFile) {
        return {};
    }
    std::ifstream in(file, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.is_open() || in.bad()) {
        return {};
    }
    CertificateFile contents = ReadCertificateBytes(bytes, file, prompt, locked);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return contents;
}

std::vector<fs::path> FolderFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec == std::errc::no_such_file_or_directory) {
        return files;
    }
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code kind;
        // A write under way, or one cut short, is no certificate of the user's.
        if (it->is_regular_file(kind) &&
            !it->path().filename().string().starts_with(kTemporaryPrefix)) {
            files.push_back(it->path());
        }
    }
    if (ec) {
        throw Error(status::StoreFailure,
                    Format(Tr("The certificate folder %1 could not be read: %2."),
                           Quoted(folder.string()), ec.message()));
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().native() < b.filename().native();
    });
    return files;
}

}  // namespace quilvane
