#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "crypto/UserInterface.h"

namespace quilvane {

// What Certificate::GetInfo returns.
enum class CertInfo {
    SubjectSimpleName =
        0,  // the common name; else the e-mail address, the organisation, the whole name
    IssuerSimpleName = 1,
};

// One X.509 certificate: from the personal store (then it knows where to find
// its private key) or from a message. Copies share the same certificate.
class Certificate {
  public:
    struct Impl;  // the crypto layer's own
    explicit Certificate(std::shared_ptr<const Impl> impl);

    std::string GetInfo(CertInfo type) const;
    // The end of validity (an instant).
    std::time_t ValidTo() const;
    // The store file the certificate came from; empty for one from a message.
    const std::string& File() const;

    const Impl& impl() const { return *impl_; }

  private:
    std::shared_ptr<const Impl> impl_;
};

// A collection of certificates, numbered from 1 like every collection of the service.
class Certificates {
  public:
    Certificates() = default;
    explicit Certificates(std::vector<Certificate> items) : items_(std::move(items)) {}

    std::size_t Count() const { return items_.size(); }
    // Raises status::NoSuchItem when `index` is 0 or past the end.
    const Certificate& Item(std::size_t index) const;

    // The modal pick list over the whole collection. Returns a collection with
    // the one chosen certificate; raises status::Cancelled when the user cancels.
    Certificates Select(UserInterface& ui, const std::string& title, const std::string& prompt,
                        bool multiSelect) const;

  private:
    std::vector<Certificate> items_;
};

enum class StoreLocation { CurrentUser = 2 };
enum class StoreOpenMode { ReadOnly = 0 };

// A certificate store: "My" is the folder $XDG_DATA_HOME/quilvane/My
// (~/.local/share/quilvane/My). It holds PEM and DER certificates, PEM private
// keys (plain or encrypted) and PKCS #12 files. The store is only read.
class Store {
  public:
    // Reads the folder afresh. A missing folder is an empty store; an
    // unreadable or damaged file is passed over so that the good ones are
    // still listed. A protected PKCS #12 file asks for its passphrase through
    // `ui`; the user interface must outlive the store and what it hands out.
    void Open(UserInterface& ui, StoreLocation location, const std::string& name,
              StoreOpenMode mode);

    const quilvane::Certificates& Certificates() const { return certificates_; }

    // The folder of a named store of the current user.
    static std::string Folder(const std::string& name);

  private:
    quilvane::Certificates certificates_;
};

}  // namespace quilvane
