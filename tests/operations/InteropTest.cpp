// Signed-message files must read in the other standard CMS tools: openssl
// and gpgsm check what we sign and co-sign with every kind of key, each
// certificate issued through an intermediate and only the root known to them.

#include "OperationsTest.h"
#include "operations/Batch.h"

namespace quilvane::test {
namespace {

struct Leaf {
    const char* file;  // in the personal store; the pick list follows these names
    KeyType type;
};
// PKCS #12 files and PEM bundles, each with the leaf's key and the intermediate.
const Leaf kLeaves[] = {{"a-rsa.p12", KeyType::Rsa},
                        {"b-pss.pem", KeyType::RsaPss},
                        {"c-p256.p12", KeyType::Ec},
                        {"d-p384.pem", KeyType::EcP384},
                        {"e-ed25519.p12", KeyType::Ed25519}};

class Interoperability : public OperationsTest {
  protected:
    void SetUp() override {
        static std::vector<Identity> leaves;  // RSA keys take a moment: made once
        for (std::size_t i = leaves.size(); i < std::size(kLeaves); ++i) {
            leaves.push_back(pki.pki.issueBy(pki.pki.intermediate(), "leaf" + std::to_string(i),
                                             "/CN=Leaf " + std::string(kLeaves[i].file),
                                             kLeaves[i].type, {}));
        }
        const fs::path intermediate = pki.pki.intermediate().cert;
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            const fs::path to = home.my() / kLeaves[i].file;
            if (to.extension() == ".p12") {
                Openssl("pkcs12 -export -passout pass: -in", leaves[i].cert, "-inkey",
                        leaves[i].key, "-certfile", intermediate, "-out", to);
            } else {
                WriteFile(to, ReadFile(leaves[i].cert) + ReadFile(leaves[i].key) +
                                  ReadFile(intermediate));
            }
        }
        fs::copy_file(pki.pki.root().cert, home.root() / "root.pem");
    }

    // The certificates a signed file carries.
    std::size_t carried(const std::string& sig) {
        return std::stoul(Openssl("pkcs7 -print_certs -inform DER -in", fs::path(sig), "-out",
                                  dir / "carried.pem", "&& grep -c BEGIN", dir / "carried.pem"));
    }
};

TEST_F(Interoperability, OpensslAndGpgsmAcceptEverySignatureWithOnlyTheRoot) {
    const std::string document = "An agreement\r\n\0\x01\xfe\xff"s;
    const fs::path root = pki.pki.root().cert;
    // gpgsm with a home of its own knowing only the root; its agent is stopped at the end.
    const bool gpgsm = RunStatus("command -v gpgsm") == 0;
    const std::string gnupg = Quote((dir / "gnupg").string()),
                      gpgsmIn = "gpgsm --batch --homedir " + gnupg;
    fs::create_directories(dir / "gnupg");
    fs::permissions(dir / "gnupg", fs::perms::owner_all);
    if (gpgsm) {
        test::Run(gpgsmIn + " --import " + Quote(root.string()));
    }
    // Signer and co-signer by their places in kLeaves (PSS co-signs over a digest
    // the message names and over one it does not); how many certificates
    // the file then carries: the co-signer's own joins the intermediate they share.
    using Case = std::tuple<std::size_t, std::size_t, std::size_t>;
    for (const auto& [by, then, certificates] :
         {Case{0, 3, 3}, Case{1, 0, 3}, Case{2, 1, 3}, Case{3, 1, 3}, Case{4, 4, 2}}) {
        SCOPED_TRACE(kLeaves[by].file);
        const std::string path = file(std::to_string(by) + ".txt", document), sig = path + ".sig";
        ui.picks = {by, then};
        ASSERT_EQ(SignFile(ui, path, sig), Outcome::Completed);
        EXPECT_EQ(carried(sig), 2u);
        ASSERT_EQ(CoSignContent(ui, sig, sig), Outcome::Completed) << ui.messages.back().text;
        EXPECT_EQ(carried(sig), certificates);

        if (kLeaves[by].type == KeyType::Ed25519) {
            // OpenSSL 3.0's CMS code cannot check Ed25519; the chain it can.
            Openssl("verify -CAfile", root, "-untrusted", dir / "carried.pem",
                    pki.pki.folder() / ("leaf" + std::to_string(by) + ".pem"));
            continue;
        }
        for (const char* options : {"", "-cades"}) {
            Openssl("cms -verify -binary -inform DER", options, "-CAfile", root, "-in",
                    fs::path(sig), "-out", dir / "out");
            EXPECT_EQ(ReadFile(dir / "out"), document);
        }
        const std::string print = Openssl("cms -cmsout -print -inform DER -in", fs::path(sig));
        EXPECT_EQ(print.find("rsassaPss") != std::string::npos,
                  kLeaves[by].type == KeyType::RsaPss || kLeaves[then].type == KeyType::RsaPss);
        if (gpgsm && by == 0) {  // RSA and P-384: how many signatures gpgsm finds good
            EXPECT_EQ(test::Run(gpgsmIn + " --disable-crl-checks --disable-policy-checks " +
                                "--status-fd 1 --output /dev/null --verify " + Quote(sig) +
                                " 2>/dev/null | grep -c ' GOODSIG '"),
                      "2\n");
        }
    }
    RunStatus("gpgconf --homedir " + gnupg + " --kill all");
    if (!gpgsm) {
        GTEST_SKIP() << "gpgsm is not installed: only openssl checked the signatures";
    }
}

// The chain is gathered at the batch's first signature and serves the rest,
// signed side by side.
TEST_F(Interoperability, EveryFileOfABatchCarriesTheChain) {
    std::vector<std::string> files;
    for (const char* name : {"1.txt", "2.txt", "3.txt", "4.txt"}) {
        files.push_back(file(name, name));
    }
    ui.picks = {3};
    ASSERT_EQ(RunBatch(ui, BatchAction::Sign, files, BatchMessages::Each), Outcome::Completed);
    for (const std::string& path : files) {
        EXPECT_EQ(carried(path + ".sig"), 2u) << path;
    }
}

// Each kind of file the usual tools write, verified here and by `openssl cms
// -verify` alike, to the same document. (A digest refused: the bad-input catalogue.)
TEST_F(Interoperability, ReadsWhatTheToolsWriteAsOpensslDoes) {
    const fs::path doc = file("letter.txt", "Dear Bob,\r\nthe agreement.\r\n");
    // gpgsm signs with a certificate of its own making, which its agent must
    // trust (read when it starts again).
    const bool gpgsm = RunStatus("command -v gpgsm") == 0;
    const std::string gnupg = "GNUPGHOME=" + Word(dir / "gnupg") + "; export GNUPGHOME; ",
                      quiet = " --batch --pinentry-mode loopback --passphrase '' ";
    if (gpgsm) {
        test::Run(gnupg + "mkdir -m 700 \"$GNUPGHOME\" && cd \"$GNUPGHOME\" && printf " +
                  "'Key-Type: RSA\\nKey-Length: 2048\\nKey-Usage: sign\\nSerial: random\\n" +
                  "Name-DN: CN=Gpgsm\\n' >p && gpgsm" + quiet +
                  "--gen-key -o c.pem p 2>/dev/null " +
                  "&& gpgsm --batch --import c.pem 2>/dev/null && gpgsm --with-colons " +
                  "--list-keys | awk -F: '/^fpr/ { print $10 \" S relax\"; exit }' >trustlist.txt "
                  "&& gpgconf --kill gpg-agent");
    }
    struct Row {
        const char* name;     // of the file, whose last four characters are dropped
        std::string make;     // writes it to "$N" from "$D", signed with the options "$S"
        std::string feed;     // gives it to `openssl cms -verify` in the form that follows
        std::string written;  // the document's name
    };
    const std::vector<Row> rows = {
        {"pem.sig", "openssl cms -sign -binary -nodetach -outform PEM $S -in \"$D\" -out \"$N\"",
         "cat \"$N\" | -inform PEM", "pem"},
        {"mail.p7m", "openssl smime -sign -binary -nodetach $S -in \"$D\" -out \"$N\"",
         "cat \"$N\" | -inform SMIME", "mail.eml"},
        {"gpgsm.sig",
         gnupg + "gpgsm" + quiet +
             "--disable-crl-checks --disable-policy-checks --include-certs 1 --armor --sign -o "
             "\"$N\" \"$D\" "
             "2>/dev/null",
         "sed 's/SIGNED MESSAGE/CMS/' \"$N\" | -inform PEM", "gpgsm"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!gpgsm && row.make.find("gpgsm") != std::string::npos) {
            continue;  // gpgsm is not installed
        }
        const fs::path sig = dir / row.name;
        const std::string files = "N=" + Word(sig) + " D=" + Word(doc) + " S=\"-signer " +
                                  pki.alice.cert.string() + " -inkey " + pki.alice.key.string() +
                                  "\"; ";
        test::Run(files + row.make);
        const std::size_t bar = row.feed.find('|');
        const int openssl = RunStatus(
            files + row.feed.substr(0, bar + 1) + " openssl cms -verify -noverify -binary" +
            row.feed.substr(bar + 1) + " -out " + Word(dir / "openssl-out") + " 2>/dev/null");
        EXPECT_EQ(openssl, 0);
        ui.messages.clear();
        ui.answers = {false};
        EXPECT_EQ(VerifySig(ui, sig.string()), Outcome::Completed);
        ASSERT_FALSE(ui.messages.empty());
        EXPECT_PRED2(StartsWith, ui.messages[0].text, kReportStart);
        EXPECT_EQ(ReadFile(dir / row.written), ReadFile(dir / "openssl-out"));
    }
    if (gpgsm) {
        RunStatus(gnupg + "gpgconf --kill all");
    }
}

// A multipart/signed mail: its first part checked against its signature, and
// nothing written.
TEST_F(Interoperability, ChecksAMultipartSignedMailAndWritesNothing) {
    const fs::path doc = file("note.txt", "Content-Type: text/plain\n\nSee you at noon.\n");
    const fs::path mail = dir / "note.eml";
    Openssl("smime -sign -in", doc, "-signer", pki.alice.cert, "-inkey", pki.alice.key, "-out",
            mail);
    fs::remove(doc);
    EXPECT_EQ(VerifySig(ui, mail.string()), Outcome::Completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_PRED2(StartsWith, ui.messages[0].text, kReportStart);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace quilvane::test
