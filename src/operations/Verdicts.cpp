// The trust verdict on each signer, as a person reads it.

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>

#include "crypto/SafeText.h"
#include "crypto/Text.h"
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
            return Format(Tr("broken digest %1"), SafeText(trust.detail));
        case Verdict::NotForSigning:
            return Format(Tr("not meant for signing (%1)"), SafeText(trust.detail));
        case Verdict::Expired:
            return Format(Tr("expired on %1"), IsoDate(trust.when));
        case Verdict::NotYetValid:
            return Format(Tr("not valid until %1"), IsoDate(trust.when));
        case Verdict::SigningTimeOutside:
            return Tr("signing time outside the certificate's validity");
        case Verdict::SelfSigned:
            return Tr("self-signed");
        case Verdict::UntrustedRoot:
            return Tr("not issued by a trusted root");
        case Verdict::ChainRefused:
            return SafeText(trust.detail, 512);
        case Verdict::Revoked:
            return Format(Tr("revoked on %1 (%2)"), IsoDate(trust.when), SafeText(trust.detail));
        case Verdict::TimeStampBroken:
            return Format(Tr("its time-stamp does not hold: %1"), SafeText(trust.detail, 512));
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
            return Format(Tr(", time-stamped %1 by %2"), when, SafeText(stamp.authority));
        }
    }
    return {};
}

}  // namespace

std::string TrustLine(const CertificateTrust& trust) {
    std::string verdict = trust.verdict == Verdict::Trusted
                              ? Tr("trusted")
                              : Format(Tr("not trusted (%1)"), Reason(trust));
    if (trust.verdict == Verdict::Trusted) {
        // Never plainly "trusted" while a published service has not vouched.
        if (trust.revocation.state == RevocationState::Unknown) {
            verdict += Format(Tr(", revocation unknown (%1)"), SafeText(trust.revocation.why));
        } else if (trust.revocation.state == RevocationState::NotChecked) {
            verdict += Tr(", revocation not checked");
        }
    }
    return Format(Tr("Certificate of %1: %2%3 \u2014 issued by %4, valid until %5, SHA-256 %6"),
                  SafeText(trust.subject), verdict, TimeStampWords(trust), SafeText(trust.issuer),
                  IsoDate(trust.validTo), trust.sha256);
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
            lines += "\r\n" + Format(Tr("To trust it, compare the fingerprint with the signer by "
                                        "another channel, then run: quilvane --trust %1"),
                                     ShellWord(ShownPath(signedPath)));
        }
    }
    return lines;
}

std::string ChainDetails(const std::vector<CertificateTrust>& trust) {
    std::string details;
    for (const CertificateTrust& one : trust) {
        // The verdict line is already shown above the details: here only
        // what it leaves out, under the signer's name.
        details += (details.empty() ? "" : "\r\n") +
                   Format(Tr("Certificate of %1: serial number %2, valid from %3 until %4"),
                          SafeText(one.subject), SafeText(one.serial), IsoDate(one.validFrom),
                          IsoDate(one.validTo)) +
                   "\r\n  " + Tr("Chain:");
        for (const ChainLink& link : one.chain) {
            details += "\r\n    " + Format(Tr("%1 (serial %2), SHA-256 %3"), SafeText(link.subject),
                                           SafeText(link.serial), link.sha256);
        }
    }
    return details;
}

}  // namespace quilvane
