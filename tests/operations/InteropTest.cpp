// Signed-message files must read in the other standard CMS tools, not only
// in openssl: here gpgsm checks what we sign and co-sign.

#include "OperationsTest.h"

namespace quilvane::test {

// Runs gpgsm with a home of its own; stops its agent when done.
class Gpgsm {
  public:
    explicit Gpgsm(const fs::path& home) : home_(Quote(home.string())) {
        fs::create_directories(home);
        fs::permissions(home, fs::perms::owner_all);
    }
    ~Gpgsm() { RunStatus("gpgconf --homedir " + home_ + " --kill all"); }

    // How many signatures gpgsm found good in `sig`, after writing its content to `out`.
    std::string goodSignatures(const std::string& sig, const std::string& out) const {
        return Run("gpgsm --homedir " + home_ +
                   " --batch --disable-crl-checks --disable-policy-checks --status-fd 1 --output " +
                   Quote(out) + " --verify " + Quote(sig) + " 2>/dev/null | grep -c ' GOODSIG '");
    }
    void import(const std::vector<fs::path>& certificates) const {
        for (const fs::path& certificate : certificates) {
            Run("gpgsm --homedir " + home_ + " --batch --import " + Quote(certificate.string()));
        }
    }

  private:
    std::string home_;
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
    EXPECT_EQ(gpgsm.goodSignatures(path + ".sig", path + ".out"), "1\n");
    EXPECT_EQ(ReadFile(path + ".out"), document);

    ASSERT_EQ(CoSignContent(ui, path + ".sig", path + ".sig"), Outcome::Completed);
    EXPECT_EQ(gpgsm.goodSignatures(path + ".sig", path + ".out2"), "2\n");
    EXPECT_EQ(ReadFile(path + ".out2"), document);
}

}  // namespace quilvane::test
