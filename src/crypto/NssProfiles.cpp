#include "internal/NssProfiles.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>

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

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

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
        const std::string_view text = Trimmed(line);
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
        if (!inProfile || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = Trimmed(text.substr(0, equals));
        const std::string value(Trimmed(text.substr(equals + 1)));
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
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home != '/') {
        return found;
    }
    const fs::path base = home;
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

    add(base / ".pki" / "nssdb", "NSS database ~/.pki/nssdb");
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
            add(where, std::string(root.program) + " profile " + name);
        }
    }
    return found;
}

}  // namespace quilvane
