#pragma once
// What every fuzz target shares: a scratch folder of its own that holds the
// personal store and the Root folder, and the fixed test identities.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quilvane::fuzz {

// Fixed test material, so that a target needs no data files. The root's key
// is here only for make-corpus.sh, which issues further signers under it.
extern const char* const kRootCertificatePem;
extern const char* const kRootKeyPem;
extern const char* const kSignerCertificatePem;  // ECDSA P-256, issued by the root
extern const char* const kSignerKeyPem;
extern const char* const kRecipientCertificatePem;  // RSA 2048, issued by the root
extern const char* const kRecipientKeyPem;
// ECDSA P-256, serial 16, issued by the root; it names an OCSP responder and
// a CRL (at a port nothing listens on), which the revocation seeds answer.
extern const char* const kRevocableCertificatePem;
// The passphrase of the protected files in the corpus.
extern const char* const kPassphrase;
// The document the seeds sign, which make-corpus.sh writes too: a detached
// seed verifies against it.
inline constexpr char kDocumentBytes[] = "A short document for the fuzz seeds.\r\n\0\xff\n";
inline constexpr std::string_view kDocument(kDocumentBytes, sizeof kDocumentBytes - 1);

// An input as most targets take it: a first byte that picks how the rest is
// read, and the rest, the file.
struct Input {
    std::uint8_t first = 0;
    std::string_view rest;
    // What the low six bits of the first byte pick: 1 to 64 bytes at a time,
    // so that chunk boundaries fall inside every header and run.
    std::size_t ChunkSize() const { return (first & 0x3Fu) + 1; }
    std::span<const std::uint8_t> Bytes() const {
        return {reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size()};
    }
};

// The input split; nothing of an empty one.
inline std::optional<Input> Split(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return std::nullopt;
    }
    return Input{data[0], {reinterpret_cast<const char*>(data) + 1, size - 1}};
}

// Makes the process's scratch folder (once, in memory under /dev/shm where
// there is one) and points HOME, XDG_DATA_HOME and XDG_DATA_DIRS into it, so
// that the store "My" and the Root folder are the scratch ones; the system's
// own roots are left out. The folder is removed when the process exits
// normally.
void EnterScratch();

std::filesystem::path MyFolder();
std::filesystem::path RootFolder();
// A folder for the files an input is written to and the operation writes.
std::filesystem::path WorkFolder();

// Empties the work folder and writes the input there as `name`; its path.
std::string WriteInput(const std::string& name, const std::uint8_t* data, std::size_t size);

// Removes everything inside `folder`, which then exists and is empty.
void EmptyFolder(const std::filesystem::path& folder);

void WriteFile(const std::filesystem::path& path, std::string_view bytes);
inline void WriteFile(const std::filesystem::path& path, const std::uint8_t* data,
                      std::size_t size) {
    WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
}

}  // namespace quilvane::fuzz
