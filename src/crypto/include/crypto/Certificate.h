#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace quilvane {

// What Certificate::GetInfo returns.
enum class CertInfo {
    // The common name; else the e-mail address, the organisation, the whole name.
    SubjectSimpleName = 0,
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
    // Where the certificate lives, as the person knows the place: the name of
    // its file in the store; empty for one from a message.
    const std::string& Location() const;
    // Makes sure the private key is at hand, asking for its passphrase or PIN
    // now rather than in the middle of a long piece of work. Raises as
    // signing would: status::NoPrivateKey, WrongPassphrase or Cancelled.
    void UnlockKey() const;
    // Whether the key makes one signature at a time (on a token): work with
    // it is not spread over threads.
    bool KeyOneAtATime() const;

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

  private:
    std::vector<Certificate> items_;
};

}  // namespace quilvane
