// Certificates on SoftHSM2 tokens found through the system's p11-kit module
// list, and in NSS databases made with certutil and pk12util, signing
// through the real operation.

#include <dlfcn.h>
#include <p11-kit-1/p11-kit/pkcs11.h>

#include <cstdlib>

#include "OperationsTest.h"
#include "operations/Batch.h"

namespace quilvane::test {

const std::string kPin = "1234";

// The SoftHSM2 module that p11-kit lists, for pkcs11-tool.
std::string SoftHsmModule() {
    const std::string config = ReadFile("/usr/share/p11-kit/modules/softhsm2.module");
    const std::size_t start = config.find("module:") + 7;
    std::string path = config.substr(start, config.find('\n', start) - start);
    return path.substr(path.find_first_not_of(' '));
}

// Logs this process out of every token, as tokens that were pulled out and
// put back do: a login holds for every session of the process.
void LogOut() {
    void* module = dlopen(SoftHsmModule().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr) << "SoftHSM2 is loaded by the signing";
    CK_FUNCTION_LIST* functions = nullptr;
    reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))(&functions);
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    ASSERT_EQ(functions->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    for (CK_SESSION_HANDLE session = 0; count-- > 0;) {
        if (functions->C_OpenSession(slots[count], CKF_SERIAL_SESSION, nullptr, nullptr,
                                     &session) == CKR_OK) {
            functions->C_Logout(session);  // refused where no one logged in
            functions->C_CloseSession(session);
        }
    }
    dlclose(module);
}

class TokenTest : public OperationsTest {
  protected:
    // Two tokens with a key each, one with a CA certificate and no key; an
    // NSS database without a password and a Firefox profile's with one, in the
    // test program's own HOME and token folder, emptied after.
    void SetUp() override {
        const fs::path home = std::getenv("HOME");
        const auto onToken = [&](const std::string& label, const Identity& id) {
            test::Run("softhsm2-util --init-token --free --label " + Quote(label) + " --pin " +
                      kPin + " --so-pin 87654321");
            const std::string tool = "pkcs11-tool --module " + Quote(SoftHsmModule()) +
                                     " --login --pin " + kPin + " --token-label " + Quote(label) +
                                     " --id 01 --write-object " + Quote((dir / label).string());
            Openssl("x509 -outform DER -in", id.cert, "-out", dir / label);
            test::Run(tool + " --type cert");
            if (!id.key.empty()) {
                Openssl("pkey -outform DER -in", id.key, "-out", dir / label);
                test::Run(tool + " --type privkey");
                Openssl("pkey -pubout -outform DER -in", id.key, "-out", dir / label);
                test::Run(tool + " --type pubkey");
            }
        };
        onToken("Tina RSA", pki.alice);
        onToken("Eve EC", pki.bob);
        onToken("Trust Only", {pki.pki.root().cert, {}});

        const fs::path shared = home / ".pki/nssdb", profile = home / ".mozilla/firefox/p.work";
        fs::create_directories(shared);
        fs::create_directories(profile);
        WriteFile(home / ".mozilla/firefox/profiles.ini",
                  "[Profile0]\nName=work\nIsRelative=1\nPath=p.work\n");
        const fs::path password = dir / "password", p12 = dir / "nss.p12";
        WriteFile(password, "nss secret");
        // A database made with `made`, and `id` imported with `pw`, its password.
        const auto import = [&](const Identity& id, const fs::path& db, const std::string& made,
                                const std::string& pw) {
            const std::string in = " -d sql:" + Quote(db.string());
            Openssl("pkcs12 -export -passout pass:p12 -out", p12, "-in", id.cert, "-inkey", id.key);
            test::Run("certutil -N " + made + in);
            test::Run("pk12util " + pw + " -W p12 -i " + Quote(p12.string()) + in);
        };
        import(pki.carol, shared, "--empty-password", "-K ''");
        import(pki.pki.issue("dave", "/CN=Dave NSS", KeyType::Ec), profile,
               "-f " + Quote(password.string()), "-k " + Quote(password.string()));
        install(pki.alice);  // the same certificate in the folder and on a token
    }
    void TearDown() override { ClearPrivateHome(); }
};

// Each test runs in a process of its own, so the tokens are made once for all of it.
TEST_F(TokenTest, TokensAndDatabasesListWithoutLoginAndSignOnlyWithTheirSecret) {
    const std::string input = file("contract.pdf", "contract text");
    // Sorted by name, then expiry; where each lives tells the two Alices apart.
    const std::vector<std::string> listed = {
        "Alice Example|alice.pem", "Alice Example|Tina RSA", "Bob Example|Eve EC",
        "carol@example.org|NSS database ~/.pki/nssdb", "Dave NSS|Firefox profile work"};

    const std::string
        tina = "Enter the PIN for the token \"Tina RSA\" (a wrong PIN may lock the token):",
        eve = "Enter the PIN for the token \"Eve EC\" (a wrong PIN may lock the token):",
        firefox = "Enter the password of Firefox profile work:", done = "Signature applied",
        wrong = "CAPICOM error found : The ";
    // The pick, the secret typed, the one prompt and the start of the one message ("" for none).
    using Case =
        std::tuple<std::size_t, std::optional<std::string>, std::string, Outcome, std::string>;
    for (const auto& [pick, secret, asked, outcome, message] : {
             Case{1, kPin, tina, Outcome::Completed, done},
             Case{2, kPin, eve, Outcome::Completed, done},
             Case{3, std::nullopt, "", Outcome::Completed, done},  // no password to ask
             Case{4, "nss secret", firefox, Outcome::Completed, done},
             // Asked once, never again by itself: each try counts towards locking the token.
             Case{1, "9999", tina, Outcome::Failed,
                  wrong + "PIN for the token \"Tina RSA\" is wrong."},
             Case{1, std::nullopt, tina, Outcome::Cancelled, ""},
             Case{4, "guess", firefox, Outcome::Failed,
                  wrong + "password of Firefox profile work is wrong."},
         }) {
        SCOPED_TRACE(listed[pick] + " " + secret.value_or("(cancel)"));
        ScriptedUserInterface person;
        person.picks = {pick};
        person.passphrases = {secret, kPin};
        fs::remove(input + ".sig");
        EXPECT_EQ(SignFile(person, input, input + ".sig"), outcome);
        std::vector<std::string> shown;
        for (const CertificateRow& row : person.pickLists.at(0)) {
            shown.push_back(row.issuedTo + "|" + row.location);
        }
        EXPECT_EQ(shown, listed);
        EXPECT_EQ(person.passphrasePrompts,
                  asked.empty() ? std::vector<std::string>{} : std::vector{asked});
        EXPECT_EQ(person.messages.empty() ? "" : person.messages[0].text.substr(0, message.size()),
                  message);
        EXPECT_EQ(fs::exists(input + ".sig"), outcome == Outcome::Completed);
        if (outcome == Outcome::Completed) {
            EXPECT_EQ(openedByOpenssl(input + ".sig"), "contract text");
        }
    }
}

// A batch signs with one login while the token keeps it, logs in again (asking
// once) when the token logged out, and ends at a wrong PIN, which would
// otherwise be tried again for every file. (The second prompt proves the
// log-out took.)
TEST_F(TokenTest, ABatchLogsInAgainWhenTheTokenLoggedOutAndEndsAtAWrongPin) {
    struct LoggingOut : ScriptedUserInterface {
        bool progress(const Progress& now) override {
            const bool goOn = ScriptedUserInterface::progress(now);
            if (!now.bytes && progressLabels.size() == 3) {
                LogOut();
            }
            return goOn;
        }
    };
    const std::vector<std::string> files = {file("a", "a"), file("b", "b"), file("c", "c")};
    LoggingOut person;
    person.picks = {1};
    person.passphrases = {kPin, kPin};
    EXPECT_EQ(RunBatch(person, BatchAction::Sign, files, BatchMessages::Each), Outcome::Completed);
    EXPECT_EQ(person.passphrasePrompts.size(), 2u);
    EXPECT_EQ(openedByOpenssl(files[2] + ".sig"), "c");

    ScriptedUserInterface wrong;
    wrong.picks = {1};
    wrong.passphrases = {"9999", kPin};
    EXPECT_EQ(RunBatch(wrong, BatchAction::Sign, files, BatchMessages::SummaryOnly),
              Outcome::Failed);
    EXPECT_EQ(wrong.passphrasePrompts.size(), 1u);
    EXPECT_PRED2(Like, wrong.messages.at(0).text,
                 "0 signed, 1 failed: " + files[0] +
                     ", 2 not signed: The PIN for the token \"Tina RSA\" is wrong*");
}

}  // namespace quilvane::test
