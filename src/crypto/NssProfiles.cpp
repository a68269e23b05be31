#include "internal/NssProfiles.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>

#include "crypto/Error.h"
#include "crypto/Paths.h"
#include "crypto/Text.h"

namespace quilvane {

namespace {

namespace fs = std::filesystem;

struct ProfileRoot {
    const char* folder;  // under $HOME, holding profiles.ini
    const char* program;
};

// A snap or Flatpak installation keeps its own profiles: the person may
// have both, so the name says which.
constexpr ProfileRoot kProfileRoots[] = {
    {".mozilla/firefox", "Firefox"},
    {"snap/firefox/common/.mozilla/firefox", "Firefox (snap)"},
    {".var/app/org.mozilla.firefox/.mozilla/firefox", "Firefox (Flatpak)"},
    {".thunderbird", "Thunderbird"},
    {"snap/thunderbird/common/.thunderbird", "Thunderbird (snap)"},
    {".var/app/org.mozilla.Thunderbird/.thunderbird", "Thunderbird (Flatpak)"},
};

struct Profile {
    std::string name;
    std::string path;
    bool relative = true;
};

// The [ProfileN] sections of a profiles.ini; the [Install…] and [General]
// sections only repeat or point at these.
std::vector<Profile> ReadProfilesIni(const fs::path& file) {
    std::vector<Profile> profiles;
    std::ifstream in(file);
    std::string line;
    bool inProfile = false;
    while (std::getline(in, line)) {
        const std::string text = Trimmed(line);
        if (text.empty() || text.front() == ';' || text.front() == '#') {
            continue;
        }
        if (text.front() == '[') {
            inProfile = text.starts_with("[Profile");
            if (inProfile) {
                profiles.emplace_back();
            }
            continue;
        }
        const std::size_t equals = text.find('=');
        if (!inProfile || equals == std::string::npos) {
            continue;
        }
        const std::string key = Trimmed(std::string_view(text).substr(0, equals));
        const std::string value = Trimmed(std::string_view(text).substr(equals + 1));
        if (key == "Name") {
            profiles.back().name = value;
        } else if (key == "Path") {
            profiles.back().path = value;
        } else if (key == "IsRelative") {
            profiles.back().relative = value != "0";
        }
    }
    return profiles;
}

bool HasCertificateDatabase(const fs::path& folder) {
    std::error_code ec;
    return fs::is_regular_file(folder / "cert9.db", ec);
}

}  // namespace

std::vector<NssDatabase> FindNssDatabases() {
    std::vector<NssDatabase> found;
    fs::path base;
    try {
        base = HomeFolder();
    } catch (const Error&) {
        return found;  // no home, no databases in it
    }
    std::set<fs::path> seen;
    const auto add = [&](const fs::path& folder, std::string name) {
        if (!HasCertificateDatabase(folder)) {
            return;
        }
        // Profiles reached through a link or listed twice are one database.
        std::error_code ec;
        fs::path key = fs::weakly_canonical(folder, ec);
        if (ec) {
            key = folder.lexically_normal();
        }
        if (seen.insert(key).second) {
            found.push_back({folder.string(), std::move(name)});
        }
    };

    add(base / ".pki" / "nssdb", Tr("NSS database ~/.pki/nssdb"));
    for (const ProfileRoot& root : kProfileRoots) {
        const fs::path folder = base / root.folder;
        for (const Profile& profile : ReadProfilesIni(folder / "profiles.ini")) {
            if (profile.path.empty()) {
                continue;
            }
            const fs::path path = profile.path;
            const fs::path where = profile.relative && path.is_relative() ? folder / path : path;
            const std::string name =
                profile.name.empty() ? where.filename().string() : profile.name;
            add(where, Format(Tr("%1 profile %2"), root.program, name));
        }
    }
    return found;
}

namespace {

// A token label is 32 bytes, blank-padded.
constexpr std::size_t kLabelSize = 32;

// Shortens to a label's 32 bytes without cutting a UTF-8 character.
std::string LabelText(const std::string& text) {
    if (text.size() <= kLabelSize) {
        return text;
    }
    std::size_t end = kLabelSize;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// NSS's parameter reader ends a value at its closing quote or bracket, takes
// a backslash before any character literally, and strips one level of
// backslashes each time it reads a nested value.
std::string NssEscaped(std::string_view text, char closing) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == closing) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

}  // namespace

std::string NssInitArgs(const std::vector<NssDatabase>& databases) {
    std::string tokens;
    for (std::size_t i = 0; i < databases.size(); ++i) {
        const std::string token = "configDir='" + NssEscaped("sql:" + databases[i].folder, '\'') +
                                  "' certPrefix='' keyPrefix='' tokenDescription='" +
                                  NssEscaped(LabelText(databases[i].name), '\'') +
                                  "' flags=readOnly";
        tokens += (tokens.empty() ? "" : " ") + std::to_string(kFirstNssSlot + i) + "=[" +
                  NssEscaped(token, ']') + "]";
    }
    return "configDir='' certPrefix='' keyPrefix='' secmod='secmod.db' "
           "flags='readOnly,noModDB' tokens=<" +
           NssEscaped(tokens, '>') + ">";
}

}  // namespace quilvane
