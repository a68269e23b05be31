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
    // gpgsm with a home of its own, its agent stopped after.
    const std::string gpgsm = "gpgsm --batch --homedir " + Quote((dir / "gnupg").string());
    fs::create_directories(dir / "gnupg");
    fs::permissions(dir / "gnupg", fs::perms::owner_all);
    const std::shared_ptr<void> stop(nullptr, [&](void*) {
        RunStatus("gpgconf --homedir " + Quote((dir / "gnupg").string()) + " --kill all");
    });
    for (const fs::path& certificate :
         {pki.pki.folder() / "root.pem", pki.alice.cert, pki.bob.cert}) {
        test::Run(gpgsm + " --import " + Quote(certificate.string()));
    }
    // How many signatures gpgsm finds good, once we have signed and then co-signed.
    for (const char* count : {"1\n", "2\n"}) {
        ASSERT_EQ(count[0] == '1' ? SignFile(ui, path, path + ".sig")
                                  : CoSignContent(ui, path + ".sig", path + ".sig"),
                  Outcome::Completed);
        fs::remove(path + ".out");
        EXPECT_EQ(test::Run(gpgsm + " --disable-crl-checks --disable-policy-checks --status-fd 1 " +
                            "--output " + Quote(path + ".out") + " --verify " +
                            Quote(path + ".sig") + " 2>/dev/null | grep -c ' GOODSIG '"),
                  count);
        EXPECT_EQ(ReadFile(path + ".out"), document);
    }
}

}  // namespace quilvane::test
