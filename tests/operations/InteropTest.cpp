// Signed-message files must read in the other standard CMS tools, not only
// in openssl: here gpgsm checks what we sign and co-sign.

#include "OperationsTest.h"

namespace quilvane::test {

// Runs gpgsm with a home of its own; stops its agent when done.
class Gpgsm {
  public:
    explicit Gpgsm(const fs::path& home) : home_(home) {
        fs::create_directories(home_);
        fs::permissions(home_, fs::perms::owner_all);
    }
    ~Gpgsm() { RunStatus("gpgconf --homedir " + Quote(home_.string()) + " --kill all"); }

    // How many signatures gpgsm found good in `sig`, after writing its content to `out`.
    std::size_t goodSignatures(const std::string& sig, const std::string& out) const {
        std::string output;
        RunStatus("gpgsm --homedir " + Quote(home_.string()) +
                      " --batch --disable-crl-checks --disable-policy-checks --status-fd 1 "
                      "--output " +
                      Quote(out) + " --verify " + Quote(sig),
                  &output);
        EXPECT_EQ(output.find("BADSIG"), std::string::npos) << output;
        std::size_t good = 0;
        for (std::size_t at = output.find("[GNUPG:] GOODSIG"); at != std::string::npos;
             at = output.find("[GNUPG:] GOODSIG", at + 1)) {
            ++good;
        }
        return good;
    }
    void import(const std::vector<fs::path>& certificates) const {
        std::string names;
        for (const fs::path& certificate : certificates) {
            names += " " + Quote(certificate.string());
        }
        RunStatus("gpgsm --homedir " + Quote(home_.string()) + " --batch --import" + names);
    }

  private:
    fs::path home_;
};

using Interoperability = OperationsTest;

TEST_F(Interoperability, GpgsmChecksEverySignatureWeMake) {
    if (RunStatus("command -v gpgsm") != 0) {
        GTEST_SKIP() << "gpgsm is not installed";
    }
    install(pki.alice);
    install(pki.bob);
    fs::copy_file(pki.pki.folder() / "root.pem", home.root() / "root.pem");
    const std::string document = "An agreement\r\n\0\x01\xfe\xff"s;
    const std::string path = file("agreement.txt", document);

    ui.picks = {0, 1};  // alice.pem signs, bob.pem co-signs
    ASSERT_EQ(SignFile(ui, path, path + ".sig"), Outcome::Completed);
    Gpgsm gpgsm(dir / "gnupg");
    gpgsm.import({pki.pki.folder() / "root.pem", pki.alice.cert, pki.bob.cert});
    EXPECT_EQ(gpgsm.goodSignatures(path + ".sig", path + ".out"), 1u);
    EXPECT_EQ(ReadFile(path + ".out"), document);

    ASSERT_EQ(CoSignContent(ui, path + ".sig", path + ".sig"), Outcome::Completed);
    EXPECT_EQ(gpgsm.goodSignatures(path + ".sig", path + ".out2"), 2u);
    EXPECT_EQ(ReadFile(path + ".out2"), document);
}

}  // namespace quilvane::test
