// Signed-message files must read in the other standard CMS tools, not only
// in openssl: here gpgsm checks what we sign and co-sign.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace std::string_literals;

#include "signing/Operations.h"
#include "support/ScriptedUserInterface.h"
#include "support/SharedPki.h"

namespace quilvane {
namespace {

using test::Quote;
using test::ReadFile;
using test::ScriptedUserInterface;
using test::SharedPki;
using test::StoreHome;
using test::TempDir;
using test::WriteFile;

// Runs gpgsm with a home of its own; stops its agent when done.
class Gpgsm {
  public:
    explicit Gpgsm(const std::filesystem::path& home) : home_(home) {
        std::filesystem::create_directories(home_);
        std::filesystem::permissions(home_, std::filesystem::perms::owner_all);
    }
    ~Gpgsm() { test::RunStatus("gpgconf --homedir " + Quote(home_.string()) + " --kill all"); }

    std::string operator()(const std::string& arguments) const {
        std::string output;
        test::RunStatus("gpgsm --homedir " + Quote(home_.string()) +
                            " --batch --disable-crl-checks --disable-policy-checks --status-fd 1 " +
                            arguments,
                        &output);
        return output;
    }

  private:
    std::filesystem::path home_;
};

TEST(Interoperability, GpgsmChecksEverySignatureWeMake) {
    if (test::RunStatus("command -v gpgsm") != 0) {
        GTEST_SKIP() << "gpgsm is not installed";
    }
    TempDir dir;
    StoreHome home(dir / "data");
    const auto& pki = SharedPki::get();
    home.add({pki.alice.cert, pki.alice.key, pki.bob.cert, pki.bob.key});
    std::filesystem::copy_file(pki.pki.folder() / "root.pem", home.root() / "root.pem");
    std::string document = "An agreement\r\n\0\x01\xfe\xff"s;
    std::string path = (dir / "agreement.txt").string();
    WriteFile(path, document);

    ScriptedUserInterface ui;
    ui.picks = {0, 1};  // alice.pem signs, bob.pem co-signs
    ASSERT_EQ(SignFile(ui, path, path + ".sig"), Outcome::Completed);
    Gpgsm gpgsm(dir / "gnupg");
    gpgsm("--import " + Quote(pki.pki.folder().string() + "/root.pem") + " " +
          Quote(pki.alice.cert.string()) + " " + Quote(pki.bob.cert.string()));

    std::string once =
        gpgsm("--output " + Quote(path + ".out") + " --verify " + Quote(path + ".sig"));
    EXPECT_NE(once.find("[GNUPG:] GOODSIG"), std::string::npos) << once;
    EXPECT_EQ(once.find("BADSIG"), std::string::npos) << once;
    EXPECT_EQ(ReadFile(path + ".out"), document);

    ASSERT_EQ(CoSignContent(ui, path + ".sig", path + ".sig"), Outcome::Completed);
    std::string twice =
        gpgsm("--output " + Quote(path + ".out2") + " --verify " + Quote(path + ".sig"));
    std::size_t good = 0;
    for (std::size_t at = twice.find("[GNUPG:] GOODSIG"); at != std::string::npos;
         at = twice.find("[GNUPG:] GOODSIG", at + 1)) {
        ++good;
    }
    EXPECT_EQ(good, 2u) << twice;
    EXPECT_EQ(twice.find("BADSIG"), std::string::npos) << twice;
    EXPECT_EQ(ReadFile(path + ".out2"), document);
}

}  // namespace
}  // namespace quilvane
