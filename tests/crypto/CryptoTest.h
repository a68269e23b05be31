#pragma once
// What the crypto tests share: a personal store in a temporary folder, the
// scripted user interface, and errors caught as their status and description.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "crypto/Bytes.h"
#include "crypto/Certificate.h"
#include "crypto/Error.h"
#include "support/ScriptedUserInterface.h"
#include "support/SharedPki.h"

namespace quilvane::test {

// What an action raised: the Error's number and description; 0 and "" for nothing.
struct Outcome {
    std::int32_t status = 0;
    std::string description;
    friend bool operator==(const Outcome&, const Outcome&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
        return out << std::hex << outcome.status << std::dec << " " << outcome.description;
    }
};

inline Outcome Raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& error) {
        return {error.number(), error.description()};
    }
    return {};
}

class CryptoTest : public ::testing::Test {
  protected:
    static BinaryString Binary(const std::string& s) {
        return BinaryString(Bytes(s.data(), s.size()));
    }
    static std::string Text(const BinaryString& binary) {
        return {reinterpret_cast<const char*>(binary.view().data()), binary.size()};
    }

    // Runs openssl with `words`, paths among them quoted; returns what it wrote.
    static std::string Word(const char* word) { return word; }
    static std::string Word(const std::string& word) { return word; }
    static std::string Word(const fs::path& path) { return Quote(path.string()); }
    template <typename... Words>
    static std::string Openssl(const Words&... words) {
        return test::Run(("openssl" + ... + (" " + Word(words))));
    }

    fs::path save(const std::string& name, const std::string& bytes) {
        WriteFile(dir / name, bytes);
        return dir / name;
    }

    Certificates open() {
        Store store;
        store.Open(ui, StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
        return store.Certificates();
    }
    // `id`'s certificate, and its key unless `withKey` is false, as the store lists it.
    Certificate mine(const Identity& id, bool withKey = true) {
        home.add(withKey ? std::vector{id.cert, id.key} : std::vector{id.cert});
        const Certificates all = open();
        std::size_t i = 1;  // past the end, Item raises
        while (all.Item(i).File() != (home.my() / id.cert.filename()).string()) {
            ++i;
        }
        return all.Item(i);
    }

    SharedPki& pki = SharedPki::get();
    TempDir dir;
    StoreHome home{dir / "data"};
    ScriptedUserInterface ui;
};

}  // namespace quilvane::test
