#pragma once
// The user-level operations on signed documents, and the helpers they share.
// Each operation tells every outcome to the user through the UserInterface and
// lets no error escape; the Outcome it returns only serves the exit status.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crypto/Bytes.h"
#include "crypto/Certificate.h"
#include "crypto/SignedData.h"
#include "operations/Files.h"
#include "operations/Reporting.h"
#include "operations/UserInterface.h"

namespace quilvane {

// Lets the user pick one certificate of the personal store "My". Raises
// status::Cancelled when the user cancels the list.
Certificate SelectCertificate(UserInterface& ui);

// How an operation comes by the certificate it signs with: SelectCertificate,
// or, in a batch, the one certificate chosen for all files.
using CertificateChooser = std::function<Certificate(UserInterface&)>;

// A signing-time attribute holding the current time, to the whole second.
Attribute SigningTimeNow();

// Signs a document into a signed-message file.
Outcome SignFile(UserInterface& ui, std::string inputPath, std::string outputPath,
                 const CertificateChooser& choose = SelectCertificate);

// Verifies a signed-message file, reports its signers and extracts the
// document; then offers to open it, unless `offerToOpen` is false.
Outcome VerifySig(UserInterface& ui, std::string signedPath, bool offerToOpen = true);

// The signer report of a verified message.
std::string ListSigners(const std::vector<Signer>& signers);

// One line on how far a signer's certificate can be trusted, the verdict
// first: "Certificate of <name>: trusted|not trusted (<reason>) — issued by
// <issuer>, valid until <YYYY-MM-DD>, SHA-256 <fingerprint>".
std::string TrustLine(const CertificateTrust& trust);
// The lines of all signers, in their order, joined by CR LF; after a signer
// whom only its root keeps from being trusted, how to trust it from
// `signedPath`, the file they were read from.
std::string TrustLines(const std::vector<CertificateTrust>& trust, const std::string& signedPath);
// The details behind the trust lines: each signer's fingerprints and chain.
std::string ChainDetails(const std::vector<CertificateTrust>& trust);

// The message that a file verified: the report as its text, the trust lines
// below it, the chain behind them as its details, and, when a signer is not
// trusted, the offer to trust it.
void ShowVerified(UserInterface& ui, const SignedData& signedData, const std::string& signedPath);
// The same with the signers' trust already judged, so that it is judged once.
void ShowVerified(UserInterface& ui, const SignedData& signedData, const std::string& signedPath,
                  const std::vector<CertificateTrust>& trust);

// The text of an attribute value: a date-time in the user's locale and time
// zone, a text value unchanged.
std::string ValueText(const AttributeValue& value);

// Tells where the verified document was put, with the note on what was kept,
// and offers to open it, unless `offerToOpen` is false.
void SaveAndShowFile(UserInterface& ui, const std::string& kept, const std::string& documentPath,
                     bool offerToOpen = true);

// The text shown for a failure code of opening a document (32 or less).
std::string OpenFailureText(std::int32_t code);

// The document of a detached signature: the signature's name less its last
// four characters. Raises a program error naming that file when it is not
// there.
std::string DetachedDocumentPath(const std::string& signaturePath);

// Adds one signature to a signed-message file.
Outcome CoSignContent(UserInterface& ui, std::string inputPath, std::string outputPath,
                      const CertificateChooser& choose = SelectCertificate);

// Adds a time-stamp from the run's time-stamping service to every signature
// of a signed-message file that lacks one, rewriting the file in place.
Outcome TimeStampFile(UserInterface& ui, std::string signedPath);

}  // namespace quilvane
