// Certificates on SoftHSM2 tokens found through the system's p11-kit module
// list, and in NSS databases made with certutil and pk12util, signing
// through the real operation.

#include <cstdlib>

#include "OperationsTest.h"

namespace quilvane::test {

const std::string kPin = "1234";

// The SoftHSM2 module that p11-kit lists, for pkcs11-tool.
std::string SoftHsmModule() {
    const std::string config = ReadFile("/usr/share/p11-kit/modules/softhsm2.module");
    const std::size_t start = config.find("module:") + 7;
    std::string path = config.substr(start, config.find('\n', start) - start);
    return path.substr(path.find_first_not_of(' '));
}

class TokenTest : public OperationsTest {
  protected:
    // Two tokens with a key each, one with a CA certificate and no key; an
    // NSS database without a password and a Firefox profile's with one.
    void SetUp() override {
        const fs::path home = dir / "home", conf = dir / "softhsm2.conf";
        fs::create_directories(dir / "tokens");
        WriteFile(conf, "directories.tokendir = " + (dir / "tokens").string() +
                            "\nobjectstore.backend = file\nlog.level = ERROR\n");
        saved_ = {std::getenv("HOME"), std::getenv("SOFTHSM2_CONF")};
        setenv("HOME", home.c_str(), 1);
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);

        Pki& made = pki.pki;
        const auto onToken = [&](const std::string& label, const fs::path& cert,
                                 const fs::path& key) {
            const std::string tool = "pkcs11-tool --module " + Quote(SoftHsmModule()) +
                                     " --login --pin " + kPin + " --token-label " + Quote(label) +
                                     " --id 01 --write-object ";
            const std::string stem = Quote((dir / label).string());
            test::Run("openssl x509 -outform DER -in " + Quote(cert) + " -out " + stem + ".crt");
            test::Run(tool + stem + ".crt --type cert");
            if (!key.empty()) {
                test::Run("openssl pkey -outform DER -in " + Quote(key) + " -out " + stem + ".key");
                test::Run("openssl pkey -pubout -outform DER -in " + Quote(key) + " -out " + stem +
                          ".pub");
                test::Run(tool + stem + ".key --type privkey");
                test::Run(tool + stem + ".pub --type pubkey");
            }
        };
        for (const auto& [label, id] : {std::pair{"Tina RSA", pki.alice},
                                        {"Eve EC", pki.bob},
                                        {"Trust Only", Identity{made.root().cert, {}}}}) {
            test::Run("softhsm2-util --init-token --free --label " + Quote(label) + " --pin " +
                      kPin + " --so-pin 87654321");
            onToken(label, id.cert, id.key);
        }

        const fs::path shared = home / ".pki/nssdb", profile = home / ".mozilla/firefox/p.work";
        fs::create_directories(shared);
        fs::create_directories(profile);
        WriteFile(home / ".mozilla/firefox/profiles.ini",
                  "[Profile0]\nName=work\nIsRelative=1\nPath=p.work\n");
        WriteFile(dir / "password", "nss secret");
        const auto p12 = [&](const Identity& id) {
            const std::string out = Quote((dir / "nss.p12").string());
            test::Run("openssl pkcs12 -export -passout pass:p12 -out " + out + " -in " +
                      Quote(id.cert) + " -inkey " + Quote(id.key));
            return " -W p12 -i " + out;
        };
        test::Run("certutil -N --empty-password -d sql:" + Quote(shared));
        test::Run("pk12util -K '' -d sql:" + Quote(shared) + p12(pki.carol));
        const std::string password = " -d sql:" + Quote(profile) + " -f " + Quote(dir / "password");
        test::Run("certutil -N" + password);
        test::Run("pk12util -k " + Quote(dir / "password") + " -d sql:" + Quote(profile) +
                  p12(made.issue("dave", "/CN=Dave NSS", KeyType::Ec)));
        install(pki.alice);  // the same certificate in the folder and on a token
    }

    void TearDown() override {
        setenv("HOME", saved_.first.c_str(), 1);
        setenv("SOFTHSM2_CONF", saved_.second.c_str(), 1);
    }

    static std::string Quote(const fs::path& path) { return test::Quote(path.string()); }

    std::pair<std::string, std::string> saved_;
};

// Each test runs in a process of its own, so the tokens are made once for all of it.
TEST_F(TokenTest, TokensAndDatabasesListWithoutLoginAndSignOnlyWithTheirSecret) {
    const std::string input = file("contract.pdf", "contract text");
    // Sorted by name, then expiry; where each lives tells the two Alices apart.
    const std::vector<std::string> listed = {
        "Alice Example|alice.pem", "Alice Example|Tina RSA", "Bob Example|Eve EC",
        "carol@example.org|NSS database ~/.pki/nssdb", "Dave NSS|Firefox profile work"};
    const auto rows = [](const std::vector<CertificateRow>& list) {
        std::vector<std::string> shown;
        for (const CertificateRow& row : list) {
            shown.push_back(row.issuedTo + "|" + row.location);
        }
        return shown;
    };

    const std::string
        tina = "Enter the PIN for the token \"Tina RSA\" (a wrong PIN may lock the token):",
        eve = "Enter the PIN for the token \"Eve EC\" (a wrong PIN may lock the token):",
        firefox = "Enter the password of Firefox profile work:", done = "Signature applied",
        wrong = "CAPICOM error found : The ";
    struct Case {
        std::size_t pick;
        std::optional<std::string> secret;
        std::string asked;  // the one prompt, "" for none
        Outcome outcome;
        std::string message;  // the start of the one message shown, "" for none
    };
    const Case cases[] = {
        {1, kPin, tina, Outcome::Completed, done},
        {2, kPin, eve, Outcome::Completed, done},
        {3, std::nullopt, "", Outcome::Completed, done},  // no password to ask
        {4, "nss secret", firefox, Outcome::Completed, done},
        // Asked once, never again by itself: each try counts towards locking the token.
        {1, "9999", tina, Outcome::Failed, wrong + "PIN for the token \"Tina RSA\" is wrong."},
        {1, std::nullopt, tina, Outcome::Cancelled, ""},
        {4, "guess", firefox, Outcome::Failed,
         wrong + "password of Firefox profile work is wrong."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(listed[c.pick] + " " + c.secret.value_or("(cancel)"));
        ScriptedUserInterface person;
        person.picks = {c.pick};
        person.passphrases = {c.secret, kPin};
        fs::remove(input + ".sig");
        EXPECT_EQ(SignFile(person, input, input + ".sig"), c.outcome);
        EXPECT_EQ(rows(person.pickLists.at(0)), listed);
        EXPECT_EQ(person.passphrasePrompts,
                  c.asked.empty() ? std::vector<std::string>{} : std::vector{c.asked});
        EXPECT_EQ(
            person.messages.empty() ? "" : person.messages[0].text.substr(0, c.message.size()),
            c.message);
        EXPECT_EQ(fs::exists(input + ".sig"), c.outcome == Outcome::Completed);
        if (c.outcome == Outcome::Completed) {
            EXPECT_EQ(openedByOpenssl(input + ".sig"), "contract text");
        }
    }
}

}  // namespace quilvane::test
