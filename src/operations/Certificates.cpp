// Importing, creating and trusting certificates: the only writers of the
// user's certificate folders.

#include "operations/Certificates.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "crypto/PersonalFiles.h"
#include "crypto/SafeText.h"
#include "crypto/Secret.h"
#include "crypto/Store.h"
#include "crypto/Text.h"
#include "operations/Files.h"
#include "operations/Signing.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;

// Private keys go into "My", so the folder and its files are the user's alone.
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kPublicFile = 0644;

// A cancelled dialog ends these commands without a word, as it ends signing.
constexpr ReportPolicy kCommandPolicy{.reporter = Reporter::Certificates, .silentCancel = true};

fs::path ReadyFolder(const std::string& name, bool privateFolder) {
    const fs::path folder = Store::Folder(name);
    std::error_code ec;
    if (fs::create_directories(folder, ec) && privateFolder) {
        fs::permissions(folder, fs::perms::owner_all, ec);
    }
    if (ec) {
        RaiseFileError(ec.value(), Tr("Cannot make the folder"), folder.string());
    }
    return folder;
}

// One file of a group written together under one stem.
struct NewFile {
    std::string extension;
    std::string bytes;
    mode_t mode;
};

std::span<const std::uint8_t> BytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Writes `files` into `folder` as "stem.ext" each, or under "stem-2",
// "stem-3"... when any of those names is taken, so that the files of a group
// keep one stem. Returns the paths written, in the order of `files`.
std::vector<std::string> WriteNew(const fs::path& folder, const std::string& stem,
                                  const std::vector<NewFile>& files) {
    for (int n = 1; n < 1000; ++n) {
        const std::string base = n == 1 ? stem : stem + "-" + std::to_string(n);
        std::vector<std::string> paths;
        for (const NewFile& file : files) {
            paths.push_back((folder / (base + file.extension)).string());
        }
        if (std::any_of(paths.begin(), paths.end(), [](const std::string& path) {
                std::error_code ec;
                return fs::exists(fs::symlink_status(path, ec));
            })) {
            continue;
        }
        std::size_t written = 0;
        for (; written < files.size(); ++written) {
            FileSink sink(paths[written], Backup::None, Links::Replace, files[written].mode);
            sink.Write(BytesOf(files[written].bytes));
            if (!sink.CommitNew()) {
                break;
            }
        }
        if (written == files.size()) {
            return paths;
        }
        // Another writer took a name meanwhile: the group moves on whole.
        for (std::size_t i = 0; i < written; ++i) {
            ::unlink(paths[i].c_str());
        }
    }
    throw Error(EEXIST, Format(Tr("Cannot find a free name for \"%1\" in \"%2\"."), ShownPath(stem),
                               ShownPath(folder.string())));
}

// Whether the UTF-8 character starting at `text[at]` is a letter of the Latin,
// Greek or Cyrillic alphabets; its length goes to `length`. Ranges with no
// control, format or direction characters in them only.
bool IsWideLetter(const std::string& text, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    if (at + 1 >= text.size() || (byte(0) & 0xE0) != 0xC0 || (byte(1) & 0xC0) != 0x80) {
        return false;
    }
    const unsigned code = ((byte(0) & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
    length = 2;
    return (code >= 0xC0 && code <= 0x24F && code != 0xD7 && code != 0xF7) ||
           (code >= 0x391 && code <= 0x3C9) || (code >= 0x400 && code <= 0x45F);
}

// The stem of a file name made from a person's name or a file's: letters,
// digits, "-", "_" and "." stay; anything else, which a shell, another system
// or a reader of the name could be misled by, becomes "-". A leading "." would
// hide the file, or make it look like a write under way.
std::string FileStemFor(const std::string& name) {
    // Well below any file system's limit on a name's length.
    constexpr std::size_t kLongest = 100;
    std::string stem;
    for (std::size_t i = 0; i < name.size() && stem.size() < kLongest;) {
        const auto c = static_cast<unsigned char>(name[i]);
        std::size_t length = 1;
        if (std::isalnum(c) != 0 && c < 0x80) {
            stem += name[i];
        } else if (c == '-' || c == '_' || c == '.') {
            stem += name[i];
        } else if (IsWideLetter(name, i, length)) {
            stem += name.substr(i, length);
        } else {
            stem += '-';
            // The rest of a character that is not kept goes with its first byte.
            while (i + length < name.size() &&
                   (static_cast<unsigned char>(name[i + length]) & 0xC0) == 0x80) {
                ++length;
            }
        }
        i += length;
    }
    if (stem.empty() || stem.front() == '.') {
        stem.insert(0, "certificate");
    }
    return stem;
}

struct Imported {
    std::string written;
    ImportCheck check;
};

Imported ImportIntoStore(UserInterface& ui, const std::string& path) {
    Bytes bytes = LoadBinFile(path);
    const fs::path name = fs::path(path).filename();
    ImportCheck check = CheckImport(bytes.view(), name.string(), PromptThrough(ui));
    std::vector<NewFile> files = {{name.extension().string(),
                                   std::string(bytes.view().begin(), bytes.view().end()),
                                   kPrivateFile}};
    if (!check.certificatesPem.empty()) {
        files.push_back({".crt", check.certificatesPem, kPublicFile});
    }
    const std::vector<std::string> written =
        WriteNew(ReadyFolder("My", true), FileStemFor(name.stem().string()), files);
    WipeText(files.front().bytes);
    return {written.front(), std::move(check)};
}

// The files of a new certificate: with its key, and alone to give to others.
struct Created {
    std::string withKey;
    std::string certificate;
};

Created CreateInStore(const CertificateRequest& request) {
    const NewCertificateFiles made = MakeSelfSignedCertificate(request.details, request.passphrase);
    const std::vector<std::string> written =
        WriteNew(ReadyFolder("My", true), FileStemFor(request.details.name),
                 {{".pem", made.withKey, kPrivateFile}, {".crt", made.certificate, kPublicFile}});
    return {written[0], written[1]};
}

}  // namespace

bool StartFromEmptyStore(UserInterface& ui, const std::vector<std::string>& places) {
    std::string text;
    for (const std::string& place : places) {
        text += (text.empty() ? "" : "\n") + place;
    }
    EmptyStoreChoice choice = ui.emptyStore(text);
    switch (choice.kind) {
        case EmptyStoreChoice::Kind::Cancel:
            return false;
        case EmptyStoreChoice::Kind::Import:
            RunGuarded(ui, kCommandPolicy, [&] {
                ImportIntoStore(ui, choice.path);
                return Outcome::Completed;
            });
            return true;
        case EmptyStoreChoice::Kind::Create:
            RunGuarded(ui, kCommandPolicy, [&] {
                if (choice.create) {
                    CreateInStore(*choice.create);
                }
                return Outcome::Completed;
            });
            return true;
    }
    return false;
}

Outcome ImportCertificate(UserInterface& ui, std::string path) {
    return RunGuarded(ui, kCommandPolicy, [&] {
        const auto [written, check] = ImportIntoStore(ui, path);
        std::string names;
        for (const std::string& certificate : check.names) {
            names += (names.empty() ? "" : ", ") + certificate;
        }
        MessageNotes notes;
        if (!check.withKey) {
            notes.informative =
                Tr("The file holds no private key for it: signing needs the key in the same "
                   "folder.");
        }
        ui.message(Format(CrLf(Tr("Imported the certificate of %1 into your certificates:\n%2")),
                          names, ShownPath(written)),
                   Icon::Information, notes);
        return Outcome::Completed;
    });
}

Outcome CreateCertificate(UserInterface& ui) {
    return RunGuarded(ui, kCommandPolicy, [&] {
        std::optional<CertificateRequest> request = ui.newCertificate();
        if (!request) {
            throw CancelledError();
        }
        const Created created = CreateInStore(*request);
        ui.message(
            Format(CrLf(Tr("Created a self-signed certificate for %1, valid for one year, in your "
                           "certificates:\n%2")),
                   request->details.name, ShownPath(created.withKey)),
            Icon::Information,
            {Format(Tr("Others can check your signatures once they trust it: give them %1 and have "
                       "them run \"quilvane --trust FILE\"."),
                    ShownPath(created.certificate)),
             {}});
        return Outcome::Completed;
    });
}

namespace {

// Asks about one certificate and, on Yes, keeps it in the Root folder under
// a name made from `stem`; the path written, or "" when the answer was No.
std::string OfferToTrust(UserInterface& ui, const TrustCandidate& candidate,
                         const std::string& stem) {
    const std::string question =
        candidate.root ? CrLf(Tr("Trust the certificate of %1 as a root for checking signatures?\n"
                                 "SHA-256 fingerprint:\n%2\n"
                                 "Trust it only if this is the fingerprint its owner gave you."))
                       : CrLf(Tr("Trust the certificate of %1 as an issuing authority for checking "
                                 "signatures?\nSHA-256 fingerprint:\n%2\n"
                                 "Trust it only if this is the fingerprint its owner gave you."));
    if (!ui.ask(Format(question, candidate.name, candidate.fingerprint))) {
        return {};
    }
    const std::string written = WriteNew(ReadyFolder("Root", false), FileStemFor(stem),
                                         {{".pem", candidate.pem, kPublicFile}})
                                    .front();
    ui.message(Format(candidate.root ? CrLf(Tr("The certificate of %1 is now a trusted root:\n%2"))
                                     : CrLf(Tr("The certificate of %1 is now a trusted issuing "
                                               "authority: the signers it certified are trusted "
                                               "through it.\n%2")),
                      candidate.name, ShownPath(written)),
               Icon::Information);
    return written;
}

}  // namespace

Outcome TrustCertificate(UserInterface& ui, std::string path) {
    return RunGuarded(ui, kCommandPolicy, [&] {
        Bytes bytes = LoadBinFile(path);
        const fs::path name = fs::path(path).filename();
        if (!IsSignedMessage(bytes.view())) {
            const TrustCandidate candidate = ReadTrustCandidate(bytes.view(), name.string());
            return OfferToTrust(ui, candidate, name.stem().string()).empty() ? Outcome::Cancelled
                                                                             : Outcome::Completed;
        }
        // A signed file: its roots and self-signed signers, one at a time.
        const std::vector<TrustCandidate> candidates =
            SignedMessageTrustCandidates(bytes.view(), name.string());
        if (candidates.empty()) {
            throw Error(status::CertificateUnsuitable,
                        Format(Tr("The signed file \"%1\" carries no root or self-signed "
                                  "certificate to trust: ask its signer for the root of their "
                                  "certificate."),
                               ShownPath(path)));
        }
        bool trusted = false;
        for (const TrustCandidate& candidate : candidates) {
            trusted = !OfferToTrust(ui, candidate, candidate.name).empty() || trusted;
        }
        return trusted ? Outcome::Completed : Outcome::Cancelled;
    });
}

Outcome ExportCertificate(UserInterface& ui, std::string path) {
    return RunGuarded(ui, kCommandPolicy, [&] {
        const Certificate chosen = SelectCertificate(ui);
        const std::string pem = CertificatePem(chosen);
        // A new file only: what is there, or a link, is left as it is.
        std::error_code ec;
        if (fs::exists(fs::symlink_status(path, ec))) {
            RaiseFileError(EEXIST, Tr("Cannot write"), path);
        }
        FileSink sink(path, Backup::None, Links::Replace, kPublicFile);
        sink.Write(BytesOf(pem));
        if (!sink.CommitNew()) {
            RaiseFileError(EEXIST, Tr("Cannot write"), path);
        }
        ui.message(Format(CrLf(Tr("Wrote the certificate of %1, without its private key, to:\n%2")),
                          SafeText(chosen.GetInfo(CertInfo::SubjectSimpleName)),
                          ShownPath(fs::absolute(path, ec).string())),
                   Icon::Information);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
