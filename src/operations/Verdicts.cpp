// The trust verdict on each signer, as a person reads it.

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>

#include "crypto/SafeText.h"
#include "operations/Files.h"
#include "operations/Signing.h"
#include "operations/VerifyReport.h"

namespace quilvane {
namespace {

// In UTC: a certificate's end of validity ("9999-12-31 23:59:59Z") would pass
// into another year in a time zone east of it.
std::string IsoDate(std::time_t instant) {
    std::tm utc{};
    if (gmtime_r(&instant, &utc) == nullptr) {
        return std::to_string(instant);
    }
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d", &utc));
}

std::string Reason(const CertificateTrust& trust) {
    switch (trust.verdict) {
        case Verdict::Trusted:
            return {};
        case Verdict::BrokenDigest:
            return "broken digest " + SafeText(trust.detail);
        case Verdict::NotForSigning:
            return "not meant for signing (" + SafeText(trust.detail) + ")";
        case Verdict::Expired:
            return "expired on " + IsoDate(trust.when);
        case Verdict::NotYetValid:
            return "not valid until " + IsoDate(trust.when);
        case Verdict::SigningTimeOutside:
            return "signing time outside the certificate's validity";
        case Verdict::SelfSigned:
            return "self-signed";
        case Verdict::UntrustedRoot:
            return "not issued by a trusted root";
        case Verdict::ChainRefused:
            return SafeText(trust.detail, 512);
        case Verdict::Revoked:
            return "revoked on " + IsoDate(trust.when) + " (" + SafeText(trust.detail) + ")";
        case Verdict::TimeStampBroken:
            return "its time-stamp does not hold: " + SafeText(trust.detail, 512);
    }
    return {};
}

// ", time-stamped 2026-12-07 20:15:03 +01:00 by <authority>" for the first
// valid time-stamp, in the user's zone; "" without one.
std::string TimeStampWords(const CertificateTrust& trust) {
    for (const TimeStampProof& stamp : trust.timeStamps) {
        if (stamp.valid) {
            std::string when = IsoDateTime(stamp.time);  // 2026-12-07T20:15:03+01:00
            if (when.size() > 19) {
                when[10] = ' ';
                when.insert(19, " ");
            }
            return ", time-stamped " + when + " by " + SafeText(stamp.authority);
        }
    }
    return {};
}

}  // namespace

std::string TrustLine(const CertificateTrust& trust) {
    std::string verdict =
        trust.verdict == Verdict::Trusted ? "trusted" : "not trusted (" + Reason(trust) + ")";
    if (trust.verdict == Verdict::Trusted) {
        // Never plainly "trusted" while a published service has not vouched.
        if (trust.revocation.state == RevocationState::Unknown) {
            verdict += ", revocation unknown (" + SafeText(trust.revocation.why) + ")";
        } else if (trust.revocation.state == RevocationState::NotChecked) {
            verdict += ", revocation not checked";
        }
    }
    return "Certificate of " + SafeText(trust.subject) + ": " + verdict + TimeStampWords(trust) +
           " \u2014 issued by " + SafeText(trust.issuer) + ", valid until " +
           IsoDate(trust.validTo) + ", SHA-256 " + trust.sha256;
}

namespace {

// `text` as one word a shell takes as it is: quoted when it holds anything
// beyond the characters of plain file names, so the advice can be pasted.
std::string ShellWord(const std::string& text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("_./+-:,@%=").find(c) != std::string_view::npos;
    });
    if (plain) {
        return text;
    }
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

std::string TrustLines(const std::vector<CertificateTrust>& trust, const std::string& signedPath) {
    std::string lines;
    for (const CertificateTrust& one : trust) {
        lines += (lines.empty() ? "" : "\r\n") + TrustLine(one);
        if (one.verdict == Verdict::SelfSigned || one.verdict == Verdict::UntrustedRoot) {
            lines +=
                "\r\nTo trust it, compare the fingerprint with the signer by another channel, "
                "then run: quilvane --trust " +
                ShellWord(ShownPath(signedPath));
        }
    }
    return lines;
}

std::string ChainDetails(const std::vector<CertificateTrust>& trust) {
    std::string details;
    for (const CertificateTrust& one : trust) {
        // The verdict line is already shown above the details: here only
        // what it leaves out, under the signer's name.
        details += (details.empty() ? "" : "\r\n") + std::string("Certificate of ") +
                   SafeText(one.subject) + ": serial number " + SafeText(one.serial) +
                   ", valid from " + IsoDate(one.validFrom) + " until " + IsoDate(one.validTo) +
                   "\r\n  Chain:";
        for (const ChainLink& link : one.chain) {
            details += "\r\n    " + SafeText(link.subject) + " (serial " + SafeText(link.serial) +
                       "), SHA-256 " + link.sha256;
        }
    }
    return details;
}

}  // namespace quilvane
