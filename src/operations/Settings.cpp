// Reading the settings file.

#include "operations/Settings.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "crypto/Error.h"
#include "crypto/Paths.h"
#include "crypto/Text.h"

namespace quilvane {
namespace {

class Reader {
  public:
    Reader(const std::string& file, std::size_t line, std::string_view key)
        : file_(file), line_(line), key_(key) {}

    bool Boolean(std::string_view value) const {
        if (value == "true") {
            return true;
        }
        if (value != "false") {
            Refuse(value, Tr("true or false"));
        }
        return false;
    }

    int Seconds(std::string_view value) const {
        int seconds = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (error != std::errc() || end != value.data() + value.size() || seconds <= 0) {
            Refuse(value, Tr("a whole number of seconds above 0"));
        }
        return seconds;
    }

  private:
    [[noreturn]] void Refuse(std::string_view value, const std::string& wanted) const {
        throw Error(EINVAL, Format(Tr("%1, line %2: \"%3\" is \"%4\", but must be %5."), file_,
                                   std::to_string(line_), key_, value, wanted));
    }

    const std::string& file_;
    std::size_t line_;
    std::string_view key_;
};

}  // namespace

std::filesystem::path SettingsPath() {
    // A relative XDG_CONFIG_HOME is not valid and is ignored, like an empty one.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::filesystem::path config = xdg != nullptr && *xdg == '/'
                                             ? std::filesystem::path(xdg)
                                             : std::filesystem::path(HomeFolder()) / ".config";
    return config / "quilvane" / "quilvane.conf";
}

NetworkSettings ParseSettings(std::string_view text, const std::string& file) {
    NetworkSettings settings;
    std::string section;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string line = Trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = Trimmed(line.substr(1, line.size() - 2));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = Trimmed(line.substr(0, equals));
        const std::string value = Trimmed(line.substr(equals + 1));
        const Reader read(file, number, key);
        const std::string name = section + "/" + std::string(key);
        if (name == "signing/timestamp-url") {
            settings.timestampUrl = value;
        } else if (name == "signing/embed-validation-data") {
            settings.embedValidationData = read.Boolean(value);
        } else if (name == "verifying/check-revocation") {
            settings.checkRevocation = read.Boolean(value);
        } else if (name == "network/timeout-seconds") {
            settings.timeoutSeconds = read.Seconds(value);
        }
    }
    return settings;
}

NetworkSettings ReadSettings(const std::filesystem::path& path) {
    // A file this user cannot even see (a folder on the way is closed to
    // them, as a home folder is to another user) is none of theirs.
    std::error_code unseen;
    if (!std::filesystem::exists(path, unseen)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        RaiseFileError(errno, Tr("Cannot read the settings file"), path.string());
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseSettings(text.str(), path.string());
}

}  // namespace quilvane
