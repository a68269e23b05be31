#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quilvane {

// The one error type of the program. Program errors (files, arguments) carry a
// positive number, usually the errno value; statuses of the cryptographic
// message service carry a negative number. Operations catch it at their
// boundary and tell the user; everything below only raises it.
class Error : public std::runtime_error {
  public:
    Error(std::int32_t number, std::string description, std::string detail = {});

    std::int32_t number() const noexcept { return number_; }
    const std::string& description() const noexcept { return description_; }
    // What the library said, for the details of a report; never the message itself.
    const std::string& detail() const noexcept { return detail_; }

  private:
    std::int32_t number_;
    std::string description_;
    std::string detail_;
};

constexpr std::int32_t Status(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}

// Statuses of the cryptographic message service.
namespace status {
// The user cancelled a dialog of the service (certificate pick list, passphrase).
inline constexpr std::int32_t Cancelled = Status(0x80880902u);
// A time-stamping service could not be reached, or refused, or gave a reply
// that does not hold: nothing is written then.
inline constexpr std::int32_t TimeStampFailed = Status(0x800C0005u);
// Anything of the service that has no more specific status.
inline constexpr std::int32_t Failed = Status(0x80880200u);
// The data is not a message of the expected kind, or it is damaged or incomplete.
inline constexpr std::int32_t BadMessage = Status(0x80880201u);
// The content or a signature no longer matches.
inline constexpr std::int32_t SignatureMismatch = Status(0x80880202u);
// No private key in the store belongs to the certificate.
inline constexpr std::int32_t NoPrivateKey = Status(0x80880203u);
// A passphrase did not unlock a key or a PKCS #12 file.
inline constexpr std::int32_t WrongPassphrase = Status(0x80880204u);
// Certificate checks of a signer.
inline constexpr std::int32_t CertificateExpired = Status(0x80880205u);
inline constexpr std::int32_t CertificateNotYetValid = Status(0x80880206u);
inline constexpr std::int32_t UntrustedRoot = Status(0x80880207u);
inline constexpr std::int32_t CertificateUnsuitable = Status(0x80880208u);
// A collection was asked for an item past its end.
inline constexpr std::int32_t NoSuchItem = Status(0x80880209u);
// None of the user's certificates is a recipient of the envelope.
inline constexpr std::int32_t NoRecipient = Status(0x8088020Au);
// A file of the certificate store could not be read or understood.
inline constexpr std::int32_t StoreFailure = Status(0x8088020Bu);
// The person stopped the work (a progress dialog's Cancel, a signal): every
// operation ends silently on it, leaving everything as it was.
inline constexpr std::int32_t Stopped = Status(0x8088020Cu);
// A network service gave no usable answer (offline, timeout, refused): the
// description says which service, the detail why.
inline constexpr std::int32_t NetworkFailed = Status(0x8088020Du);
}  // namespace status

// The error of a dialog the person cancelled (status::Cancelled).
Error CancelledError();

// Raises a program error for errno value `err`, naming `path`:
// "<what> "<path>": <strerror>".
[[noreturn]] void RaiseFileError(int err, const std::string& what, const std::string& path);

// Item `index` of a collection of the service, which numbers items from 1;
// raises status::NoSuchItem when there is no such item.
[[noreturn]] void RaiseNoSuchItem(std::size_t index, std::size_t count);

template <typename T>
const T& ItemAt(const std::vector<T>& items, std::size_t index) {
    if (index == 0 || index > items.size()) {
        RaiseNoSuchItem(index, items.size());
    }
    return items[index - 1];
}

}  // namespace quilvane
