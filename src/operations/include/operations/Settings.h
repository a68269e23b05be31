#pragma once
// The settings file, $XDG_CONFIG_HOME/quilvane/quilvane.conf: the little the
// program lets a person set once for every run, which the command line can
// override for one.
//
//   [signing]    timestamp-url=          embed-validation-data=false
//   [verifying]  check-revocation=true
//   [network]    timeout-seconds=10

#include <filesystem>
#include <string>
#include <string_view>

#include "crypto/Network.h"

namespace quilvane {

// $XDG_CONFIG_HOME/quilvane/quilvane.conf, ~/.config/quilvane/quilvane.conf
// where XDG_CONFIG_HOME is unset or not an absolute path.
std::filesystem::path SettingsPath();

// The settings `text` gives, over the defaults. Lines are "key=value" under
// a "[section]"; blank lines and those starting with "#" or ";" say nothing,
// and unknown sections and keys are passed over, so that a newer file still
// serves. A value that cannot be used raises Error(EINVAL) naming `file`,
// the line and the key.
NetworkSettings ParseSettings(std::string_view text, const std::string& file);

// The settings in the file at `path`; the defaults when there is none, or
// none this user can see.
// Raises as ParseSettings does, and with the errno of a file that is there
// but cannot be read.
NetworkSettings ReadSettings(const std::filesystem::path& path);

}  // namespace quilvane
