#pragma once
// What the operations' tests share: a personal store in a temporary folder,
// the scripted user interface, and files signed by openssl.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "operations/Envelope.h"
#include "operations/Files.h"
#include "operations/Signing.h"
#include "support/Raised.h"
#include "support/ScriptedUserInterface.h"
#include "support/TestPki.h"

namespace quilvane::test {

using namespace std::string_literals;

inline const std::string kReportStart =
    "Verification complete. Document is untampered.\r\n\r\nDocument is signed by following "
    "persons:\r\n";

class OperationsTest : public ::testing::Test {
  protected:
    // Puts `id`'s certificate and key into the personal store.
    void install(const Identity& id) { home.add({id.cert, id.key}); }

    // Writes `content` to `name` in the test folder; returns its path.
    std::string file(const std::string& name, const std::string& content) {
        WriteFile(dir / name, content);
        return (dir / name).string();
    }

    // `content` signed by openssl into "<name>.sig"; the document itself is removed.
    std::string opensslSigned(const std::string& name, const std::string& content,
                              const std::vector<Identity>& signers, const std::string& extra = {}) {
        const std::string document = file(name, content);
        OpensslSign(document, document + ".sig", signers, extra);
        fs::remove(document);
        return document + ".sig";
    }

    // The document inside a signed file, as openssl reads it.
    std::string openedByOpenssl(const std::string& sig) {
        Openssl("cms -verify -inform DER -noverify -binary -in", fs::path(sig), "-out",
                dir / "openssl-out");
        return ReadFile(dir / "openssl-out");
    }

    // The one message shown, which must begin with `start`.
    void expectOneMessage(const ScriptedUserInterface& shown, const std::string& start,
                          Icon icon = Icon::Critical) {
        ASSERT_EQ(shown.messages.size(), 1u);
        EXPECT_PRED2(StartsWith, shown.messages[0].text, start);
        EXPECT_EQ(shown.messages[0].icon, icon);
    }

    SharedPki& pki = SharedPki::get();
    TempDir dir;
    StoreHome home{dir / "data"};
    ScriptedUserInterface ui;
};

}  // namespace quilvane::test
