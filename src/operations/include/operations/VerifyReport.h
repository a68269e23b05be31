#pragma once
// What verifying files found, as a plain value a machine-readable report is
// made from: each file's outcome and each signer's validation, named in the
// terms of ETSI EN 319 102-1. No user interface is involved.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "crypto/Error.h"
#include "crypto/SignedData.h"

namespace quilvane {

enum class Indication { TotalPassed, Indeterminate, TotalFailed };

enum class SubIndication {
    None,
    HashFailure,
    SigCryptoFailure,
    FormatFailure,
    NoCertificateChainFound,
    OutOfBoundsNoPoe,
    NotYetValid,
    CryptoConstraintsFailure,
    ChainConstraintsFailure,
    SigConstraintsFailure,
    Revoked,       // revoked before the proof of existence
    RevokedNoPoe,  // revoked, and no proof the signature came before
    TryLater,      // a revocation service that should answer did not
};

struct Validation {
    Indication indication = Indication::TotalPassed;
    SubIndication subIndication = SubIndication::None;
    friend bool operator==(const Validation&, const Validation&) = default;
};

// The validation of a signer whose signature holds, from its certificate's
// verdict, revocation and time-stamps.
Validation ValidationOf(const CertificateTrust& trust);
// The validation of a file the check refused, from the error that refused it.
Validation ValidationOf(const Error& refusal);

// The names the report uses: "TOTAL_PASSED", "HASH_FAILURE", "CAdES-B-B"...
// (SubIndication::None has none: "").
const char* NameOf(Indication indication);
const char* NameOf(SubIndication subIndication);
const char* NameOf(SignatureLevel level);

struct SignerReport {
    CertificateTrust certificate;  // name, issuer, serial, fingerprint, chain
    std::optional<std::time_t> signingTime;
    SignatureLevel level = SignatureLevel::Cms;
    Validation validation;
};

struct FileReport {
    enum class Outcome {
        Verified,  // intact, and the document written
        Refused,   // not a signed file, or one whose signatures do not hold
        Failed,    // intact, but the document could not be written
    };
    std::string path;  // as given
    Outcome outcome = Outcome::Refused;
    std::string error;      // what the person would have been told; empty when verified
    std::string detail;     // the library's own words on it, if any
    Validation validation;  // of the file: its refusal, or its signers' worst
    std::vector<SignerReport> signers;
};

const char* NameOf(FileReport::Outcome outcome);

// The signers of a verified message, each with its validation; `trust` is the
// message's Trust(), judged once by the caller.
std::vector<SignerReport> SignerReportsOf(const SignedData& signedData,
                                          std::vector<CertificateTrust> trust);

// Verifies `signedPath` and writes its document as VerifySig does, asking
// nothing and opening nothing, and tells what it found.
FileReport VerifyForReport(const std::string& signedPath);

// The program's exit status for a run over `files`: 0 when every file is
// intact and every signer passed, 1 when any file was refused or failed, 3
// when all are intact but some signer did not pass.
int ExitStatusOf(const std::vector<FileReport>& files);

// An instant in ISO 8601 with the offset of the user's time zone,
// "2026-03-01T14:05:09+01:00".
std::string IsoDateTime(std::time_t instant);

}  // namespace quilvane
