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

// Every database found in the home folder that has a cert9.db, each folder once,
// in a fixed order: ~/.pki/nssdb, then Firefox, then Thunderbird profiles in
// the order of their profiles.ini. Nothing when the home folder is not known.
std::vector<NssDatabase> FindNssDatabases();

// Slots 1 to 3 are NSS's own; those it opens on request are numbered from 4.
inline constexpr unsigned long kFirstNssSlot = 4;

// The softoken init string that opens `databases`, one slot each from
// kFirstNssSlot on, read-only and without NSS's module database.
std::string NssInitArgs(const std::vector<NssDatabase>& databases);

}  // namespace quilvane
