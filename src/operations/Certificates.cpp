// Importing, creating and trusting certificates: the only writers of the
// user's certificate folders.

#include "operations/Certificates.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "crypto/PersonalFiles.h"
#include "crypto/Store.h"
#include "operations/Files.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;

// Private keys go into "My", so the folder and its files are the user's alone.
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kPublicFile = 0644;

// A cancelled dialog ends these commands without a word, as it ends signing.
constexpr ReportPolicy kCommandPolicy{.reporter = Reporter::Certificates, .silentCancel = true};

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

fs::path ReadyFolder(const std::string& name, bool privateFolder) {
    const fs::path folder = Store::Folder(name);
    std::error_code ec;
    if (fs::create_directories(folder, ec) && privateFolder) {
        fs::permissions(folder, fs::perms::owner_all, ec);
    }
    if (ec) {
        RaiseFileError(ec.value(), "Cannot make the folder", folder.string());
    }
    return folder;
}

// Writes `bytes` into `folder` as `name`, or as "stem-2.ext", "stem-3.ext"...
// when that name is taken. Returns the path written.
std::string WriteNew(const fs::path& folder, const fs::path& name,
                     std::span<const std::uint8_t> bytes, mode_t mode) {
    const std::string stem = name.stem().string(), extension = name.extension().string();
    for (int n = 1; n < 1000; ++n) {
        const fs::path path =
            folder / (n == 1 ? name.string() : stem + "-" + std::to_string(n) + extension);
        std::error_code ec;
        if (fs::exists(fs::symlink_status(path, ec))) {
            continue;
        }
        FileSink sink(path.string(), Backup::None, Links::Replace, mode);
        sink.Write(bytes);
        if (sink.CommitNew()) {
            return path.string();
        }
    }
    throw Error(EEXIST, "Cannot find a free name for " + Quoted(name.string()) + " in " +
                            Quoted(folder.string()) + ".");
}

std::span<const std::uint8_t> BytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A file name made from a person's name: what a shell or another system
// would trip over becomes "-".
std::string FileNameFor(const std::string& name) {
    std::string file;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        file += byte < 0x20 || c == '/' || c == ' ' || c == '\\' || c == ':' ? '-' : c;
    }
    if (file.empty() || file.front() == '.') {
        file.insert(0, "certificate");
    }
    return file + ".pem";
}

struct Imported {
    std::string written;
    ImportCheck check;
};

Imported ImportIntoStore(UserInterface& ui, const std::string& path) {
    ByteBuffer bytes = LoadBinFile(path);
    const fs::path name = fs::path(path).filename();
    ImportCheck check = CheckImport(bytes.view(), name.string(), PromptThrough(ui));
    return {WriteNew(ReadyFolder("My", true), name, bytes.view(), kPrivateFile), std::move(check)};
}

std::string CreateInStore(const CertificateRequest& request) {
    const std::string pem = MakeSelfSignedCertificate(request.details, request.passphrase);
    return WriteNew(ReadyFolder("My", true), FileNameFor(request.details.name), BytesOf(pem),
                    kPrivateFile);
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
                "The file holds no private key for it: signing needs the key in the same folder.";
        }
        ui.message(
            "Imported the certificate of " + names + " into your certificates:\r\n" + written,
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
        const std::string written = CreateInStore(*request);
        ui.message("Created a self-signed certificate for " + request->details.name +
                       ", valid for one year, in your certificates:\r\n" + written,
                   Icon::Information,
                   {"Others can check your signatures once they trust it: give them this file "
                    "and have them run \"quilvane --trust FILE\".",
                    {}});
        return Outcome::Completed;
    });
}

Outcome TrustCertificate(UserInterface& ui, std::string path) {
    return RunGuarded(ui, kCommandPolicy, [&] {
        ByteBuffer bytes = LoadBinFile(path);
        const fs::path name = fs::path(path).filename();
        const TrustCandidate candidate = ReadTrustCandidate(bytes.view(), name.string());
        if (!ui.ask("Trust the certificate of " + candidate.name +
                    " as a root for checking signatures?\r\nSHA-256 fingerprint:\r\n" +
                    candidate.fingerprint +
                    "\r\nTrust it only if this is the fingerprint its owner gave you.")) {
            return Outcome::Cancelled;
        }
        const std::string written =
            WriteNew(ReadyFolder("Root", false), name.stem().string() + ".pem",
                     BytesOf(candidate.pem), kPublicFile);
        ui.message("The certificate of " + candidate.name + " is now a trusted root:\r\n" + written,
                   Icon::Information);
        return Outcome::Completed;
    });
}

}  // namespace quilvane
