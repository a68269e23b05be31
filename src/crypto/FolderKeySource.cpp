// The personal certificates of a store folder and the private keys beside
// them, unlocked when a certificate needs its key.

#include <openssl/pem.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iterator>
#include <set>

#include "crypto/Text.h"
#include "internal/CertificateFiles.h"
#include "internal/CertificateImpl.h"
#include "internal/KeySource.h"
#include "internal/Names.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;

// Hands a passphrase from the prompt to OpenSSL's PEM reader. The person is
// asked at most once, however often the reader calls back, and nothing
// unwinds through OpenSSL's frames: a failure is kept and raised after it.
struct PassphraseRequest {
    const SecretPrompt& prompt;
    SecretRequest request;
    bool asked = false;
    std::optional<Secret> answer;
    std::exception_ptr failure;
};

int AnswerPassphrase(char* buffer, int size, int /*rwflag*/, void* data) {
    auto& request = *static_cast<PassphraseRequest*>(data);
    if (!request.asked) {
        request.asked = true;
        try {
            request.answer = request.prompt ? request.prompt(request.request) : std::nullopt;
        } catch (...) {
            request.failure = std::current_exception();
            return -1;
        }
    }
    if (!request.answer || size <= 0) {
        return -1;
    }
    const std::string& text = request.answer->text();
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(size));
    std::copy_n(text.data(), length, buffer);
    return static_cast<int>(length);
}

// The private keys of one opened folder. Plain keys are ready at once; an
// encrypted key stays locked until a certificate needs a key that none of
// the ready ones matches. Unlocked keys are kept for the life of the holder.
class FolderKeys final : public KeyHolder {
  public:
    explicit FolderKeys(SecretPrompt prompt) : prompt_(std::move(prompt)) {}

    void Add(CertificateFile& contents, const fs::path& file) {
        for (ossl::PkeyPtr& key : contents.keys) {
            keys_.push_back({file, {}, false, std::move(key), true});
        }
        for (std::string& pem : contents.lockedKeys) {
            keys_.push_back({file, std::move(pem), false, nullptr});
        }
        if (!contents.lockedPkcs12.empty()) {
            keys_.push_back({file, std::move(contents.lockedPkcs12), true, nullptr});
        }
        for (const ossl::X509Ptr& certificate : contents.certificates) {
            certificateFiles_.emplace_back(ossl::Share(certificate.get()), file);
        }
        KeepAuthorities(contents);
    }

    EVP_PKEY* KeyFor(X509* certificate) override;

    std::vector<ossl::X509Ptr> OtherCertificates() const override {
        std::vector<ossl::X509Ptr> all;
        for (const auto& [x509, file] : certificateFiles_) {
            all.push_back(ossl::Share(x509.get()));
        }
        for (const ossl::X509Ptr& x509 : authorities_) {
            all.push_back(ossl::Share(x509.get()));
        }
        return all;
    }

  private:
    struct Entry {
        fs::path file;
        // Until the key is unlocked: the encrypted PEM text, or the bytes of
        // a protected PKCS #12 file.
        std::string locked;
        bool pkcs12 = false;
        ossl::PkeyPtr key;
        bool tried = false;  // unlocked, or opened and found to hold no key
    };

    fs::path FileOf(X509* certificate) const;
    ossl::PkeyPtr Unlock(const Entry& entry);
    void KeepAuthorities(CertificateFile& contents) {
        std::move(contents.authorities.begin(), contents.authorities.end(),
                  std::back_inserter(authorities_));
        contents.authorities.clear();
    }

    SecretPrompt prompt_;
    std::vector<Entry> keys_;
    std::vector<std::pair<ossl::X509Ptr, fs::path>> certificateFiles_;
    // The issuers a PKCS #12 file brought along, also those of one unlocked later.
    std::vector<ossl::X509Ptr> authorities_;
};

fs::path FolderKeys::FileOf(X509* certificate) const {
    for (const auto& [x509, file] : certificateFiles_) {
        if (X509_cmp(x509.get(), certificate) == 0) {
            return file;
        }
    }
    return {};
}

EVP_PKEY* FolderKeys::KeyFor(X509* certificate) {
    ossl::ErrorMark mark;
    // A public key of a kind OpenSSL does not know matches no key at all:
    // no passphrase is asked for then.
    EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
    if (publicKey == nullptr) {
        throw NoPrivateKeyError(certificate);
    }
    // 1 is a match; 0 a different key; below 0 a key of another type.
    const auto matches = [publicKey](EVP_PKEY* key) { return EVP_PKEY_eq(key, publicKey) == 1; };

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
        if (!own.empty() && entry.file == own) {
            return 0;
        }
        if (!own.empty() && entry.file.stem() == own.stem()) {
            return 1;
        }
        return 2;
    };
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (!keys_[i].tried) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return closeness(keys_[a]) < closeness(keys_[b]);
    });

    for (std::size_t i : order) {
        Entry& entry = keys_[i];
        entry.key = Unlock(entry);
        entry.tried = true;
        WipeText(entry.locked);
        if (entry.key != nullptr && matches(entry.key.get())) {
            return entry.key.get();
        }
    }
    throw NoPrivateKeyError(certificate);
}

ossl::PkeyPtr FolderKeys::Unlock(const Entry& entry) {
    if (entry.pkcs12) {
        CertificateFile contents = UnlockPkcs12(entry.locked, entry.file, prompt_);
        KeepAuthorities(contents);
        return contents.keys.empty() ? nullptr : std::move(contents.keys.front());
    }
    const std::string name = Quoted(entry.file.filename().string());
    SecretRequest question{SecretRequest::Kind::Passphrase,
                           Format(Tr("Enter the passphrase for the private key in %1:"), name),
                           false};
    for (int tries = 1;; ++tries) {
        ossl::ErrorMark mark;
        PassphraseRequest request{prompt_, question, false, std::nullopt, nullptr};
        ossl::BioPtr in(
            ossl::Check(BIO_new_mem_buf(entry.locked.data(), static_cast<int>(entry.locked.size())),
                        status::Failed, Format(Tr("Could not read the private key in %1"), name)));
        ossl::PkeyPtr key(PEM_read_bio_PrivateKey(in.get(), nullptr, AnswerPassphrase, &request));
        if (request.failure) {
            std::rethrow_exception(request.failure);
        }
        if (key != nullptr) {
            return key;
        }
        if (!request.asked) {
            ossl::Raise(status::StoreFailure,
                        Format(Tr("The private key in %1 could not be read"), name));
        }
        if (!request.answer) {
            throw CancelledError();
        }
        if (!AskAgain(question, tries)) {
            throw Error(status::WrongPassphrase,
                        Format(Tr("The passphrase for the private key in %1 is wrong."), name));
        }
    }
}

class FolderSource final : public KeySource {
  public:
    FolderSource(fs::path folder, SecretPrompt prompt)
        : folder_(std::move(folder)), prompt_(std::move(prompt)) {}

    void List(std::vector<Certificate>& out, std::vector<std::string>& warnings) override {
        auto keys = std::make_shared<FolderKeys>(prompt_);
        const std::vector<fs::path> files = FolderFiles(folder_);
        // A protected PKCS #12 file with its certificates kept beside it in
        // STEM.crt is opened only when one of them is chosen.
        std::set<fs::path> kept;
        for (const fs::path& file : files) {
            if (file.extension() == ".crt") {
                kept.insert(file.stem());
            }
        }
        std::vector<X509*> listed;
        for (const fs::path& file : files) {
            const std::string extension = Lowered(file.extension().string());
            const bool besides =
                (extension == ".p12" || extension == ".pfx") && kept.count(file.stem()) != 0;
            CertificateFile contents = ReadCertificateFile(
                file, &prompt_, besides ? LockedPkcs12::Keep : LockedPkcs12::Ask);
            keys->Add(contents, file);
            warnings.insert(warnings.end(), contents.warnings.begin(), contents.warnings.end());
            for (const ossl::X509Ptr& certificate : contents.certificates) {
                // A certificate kept in two files (alone, and with its key) is one choice.
                if (std::any_of(listed.begin(), listed.end(), [&](X509* other) {
                        return X509_cmp(other, certificate.get()) == 0;
                    })) {
                    continue;
                }
                listed.push_back(certificate.get());
                out.push_back(MakeCertificate(certificate.get(), file.filename().string(), keys));
            }
        }
    }

    std::string Place() const override { return Format(Tr("the folder %1"), folder_.string()); }

  private:
    fs::path folder_;
    SecretPrompt prompt_;
};

}  // namespace

std::unique_ptr<KeySource> FolderKeySource(std::string folder, SecretPrompt prompt) {
    return std::make_unique<FolderSource>(std::move(folder), std::move(prompt));
}

}  // namespace quilvane
