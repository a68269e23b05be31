// Signed-message files must read in the other standard CMS tools, not only
// in openssl: here gpgsm checks what we sign and co-sign.

#include "OperationsTest.h"

namespace quilvane::test {

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

    // gpgsm with a home of its own, whose agent is stopped at the end.
    const std::string gnupg = Quote((dir / "gnupg").string()),
                      gpgsm = "gpgsm --batch --homedir " + gnupg;
    fs::create_directories(dir / "gnupg");
    fs::permissions(dir / "gnupg", fs::perms::owner_all);
    for (const fs::path& certificate :
         {pki.pki.folder() / "root.pem", pki.alice.cert, pki.bob.cert}) {
        test::Run(gpgsm + " --import " + Quote(certificate.string()));
    }
    // How many signatures gpgsm finds good, then the document it wrote to `out`.
    const auto check = [&](const std::string& out) {
        const std::string good =
            test::Run(gpgsm + " --disable-crl-checks --disable-policy-checks --status-fd 1 " +
                      "--output " + Quote(out) + " --verify " + Quote(path + ".sig") +
                      " 2>/dev/null | grep -c ' GOODSIG '");
        return good + ReadFile(out);
    };
    EXPECT_EQ(check(path + ".out"), "1\n" + document);
    EXPECT_EQ(CoSignContent(ui, path + ".sig", path + ".sig"), Outcome::Completed);
    EXPECT_EQ(check(path + ".out2"), "2\n" + document);
    RunStatus("gpgconf --homedir " + gnupg + " --kill all");
}

}  // namespace quilvane::test
