#pragma once
// The NSS databases of the current user: the shared one in ~/.pki/nssdb and
// those of the Firefox and Thunderbird profiles, wherever the distribution,
// snap or Flatpak put them.

#include <string>
#include <vector>

namespace quilvane {

struct NssDatabase {
    std::string folder;  // the folder holding cert9.db and key4.db
    std::string name;    // how the person knows it: "Firefox profile default-release"
};

// Every database found under $HOME that has a cert9.db, each folder once,
// in a fixed order: ~/.pki/nssdb, then Firefox, then Thunderbird profiles in
// the order of their profiles.ini. Nothing when HOME is unset.
std::vector<NssDatabase> FindNssDatabases();

}  // namespace quilvane
