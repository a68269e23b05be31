#pragma once
// The one reader of certificate folders: the personal store and the trusted
// roots alike.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/Secret.h"
#include "internal/Handles.h"

namespace quilvane {

// What one file holds. What it tells is read from its content, so a misnamed
// file is still understood; what cannot be understood is left out.
struct CertificateFile {
    std::vector<ossl::X509Ptr> certificates;
    // Issuers that came along with a person's certificate in a PKCS #12 file.
    std::vector<ossl::X509Ptr> authorities;
    std::vector<ossl::PkeyPtr> keys;
    // Encrypted private keys as PEM text, unlocked only when one is needed.
    std::vector<std::string> lockedKeys;
    // A protected PKCS #12 file left unopened, as its bytes, to be unlocked
    // when one of the certificates kept beside it needs its key.
    std::string lockedPkcs12;
    // What the person should hear about the file, such as why it was passed over.
    std::vector<std::string> warnings;
};

// What a protected PKCS #12 file costs when it is read: its passphrase now,
// or nothing until its key is needed (its certificates are then listed from
// a file beside it).
enum class LockedPkcs12 { Ask, Keep };

// Reads a PEM, DER or PKCS #12 file of at most a few megabytes. A protected
// PKCS #12 file asks `prompt` for its passphrase; without a prompt, on an
// empty answer, or when every try was wrong (with a warning), it is passed
// over. Issuers that come with a person's certificate are authorities, not
// certificates of the person. A file that cannot be read gives nothing.
CertificateFile ReadCertificateFile(const std::filesystem::path& file, const SecretPrompt* prompt,
                                    LockedPkcs12 locked = LockedPkcs12::Ask);

// Reads `bytes` as ReadCertificateFile reads them from `file`, whose name
// tells a PKCS #12 file and names the file in prompts.
CertificateFile ReadCertificateBytes(std::string_view bytes, const std::filesystem::path& file,
                                     const SecretPrompt* prompt,
                                     LockedPkcs12 locked = LockedPkcs12::Ask);

// Opens a protected PKCS #12 file kept locked: its passphrase asked through
// `prompt`, three tries, an empty answer a cancel. Raises status::Cancelled
// or status::WrongPassphrase.
CertificateFile UnlockPkcs12(std::string_view bytes, const std::filesystem::path& file,
                             const SecretPrompt& prompt);

// The regular files of `folder`, in the order of their names, less the
// temporary files of writes under way; none for a missing folder. Raises
// status::StoreFailure when the folder cannot be read.
std::vector<std::filesystem::path> FolderFiles(const std::filesystem::path& folder);

}  // namespace quilvane
