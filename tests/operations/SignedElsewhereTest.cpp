// Files that other tools write: signers without signed attributes, and
// signatures kept apart from their documents. Each is made by the tool itself.

#include "OperationsTest.h"

namespace quilvane::test {

class SignedElsewhere : public OperationsTest {
  protected:
    static bool HaveCerttool() { return RunStatus("command -v certtool") == 0; }

    // certtool signs without signed attributes unless asked for a time.
    static void Certtool(const std::string& how, const Identity& by, const fs::path& in,
                         const fs::path& out) {
        test::Run("certtool " + how + " --load-certificate " + Quote(by.cert.string()) +
                  " --load-privkey " + Quote(by.key.string()) + " --infile " + Quote(in.string()) +
                  " --outder --outfile " + Quote(out.string()) + " 2>/dev/null");
    }

    // The one report line of a single signer, less its CR LF.
    std::string reportLine() const {
        const std::string& text = ui.messages.at(0).text;
        return StartsWith(text, kReportStart)
                   ? text.substr(kReportStart.size(), text.size() - kReportStart.size() - 2)
                   : text;
    }

    const Identity dan = pki.pki.issue("dan", "/CN=Dan Example", KeyType::Ed25519);
};

TEST_F(SignedElsewhere, SignersWithoutSignedAttributesVerifyAsOpensslSays) {
    const std::string python =
        "/usr/bin/python3 -c 'import sys\n"
        "from cryptography import x509\n"
        "from cryptography.hazmat.primitives import hashes, serialization as s\n"
        "from cryptography.hazmat.primitives.serialization import pkcs7\n"
        "c = x509.load_pem_x509_certificate(open(sys.argv[1], \"rb\").read())\n"
        "k = s.load_pem_private_key(open(sys.argv[2], \"rb\").read(), None)\n"
        "o = [pkcs7.PKCS7Options.NoAttributes, pkcs7.PKCS7Options.Binary]\n"
        "b = pkcs7.PKCS7SignatureBuilder().set_data(open(sys.argv[3], \"rb\").read())\n"
        "open(sys.argv[4], \"wb\").write(b.add_signer(c, k, hashes.SHA256()).sign(s.Encoding.DER, "
        "o))' ";
    const std::string noTime = " ==> Signed On: (no signing time)";
    struct Kind {
        std::string tool, name;
        Identity by;
    } kinds[] = {
        {"openssl", "Alice Example", pki.alice},  {"openssl", "Bob Example", pki.bob},
        {"python", "Alice Example", pki.alice},   {"python", "Bob Example", pki.bob},
        {"certtool", "Alice Example", pki.alice}, {"certtool", "Dan Example", dan},
    };
    const std::string document = file("doc.bin", "made elsewhere\r\n\0\xff"s);
    std::string missing;
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.tool + " " + kind.name);
        const std::string sig = document + ".sig";
        if (kind.tool == "openssl") {
            OpensslSign(document, sig, {kind.by}, "-noattr");
        } else if (kind.tool == "python") {
            if (RunStatus("/usr/bin/python3 -c 'import cryptography'") != 0) {
                missing += " python3-cryptography";
                continue;
            }
            test::Run(python + Quote(kind.by.cert.string()) + " " + Quote(kind.by.key.string()) +
                      " " + Quote(document) + " " + Quote(sig));
        } else if (!HaveCerttool()) {
            missing += " certtool";
            continue;
        } else {
            Certtool("--p7-sign", kind.by, document, sig);
        }
        // openssl 3.0 checks no Ed25519 signature without attributes; certtool does.
        const int others =
            kind.by.key == dan.key
                ? RunStatus("certtool --p7-verify --inder --load-certificate " +
                            Quote(dan.cert.string()) + " --infile " + Quote(sig))
                : RunStatus(
                      "openssl cms -verify -noverify -binary -inform DER -out /dev/null -in " +
                      Quote(sig));
        ui = {};
        ui.answers = {false};
        EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);
        EXPECT_EQ(others, 0);
        EXPECT_EQ(reportLine(), "Name: " + kind.name + noTime);

        // Changed by one byte, it is refused.
        std::string bytes = ReadFile(sig);
        bytes[bytes.find("made elsewhere")] = 'M';
        WriteFile(sig, bytes);
        ui = {};
        EXPECT_EQ(VerifySig(ui, sig), Outcome::Failed);
    }
    if (!missing.empty()) {
        GTEST_SKIP() << "not installed:" << missing;
    }
}

TEST_F(SignedElsewhere, ADetachedSignatureIsCheckedAgainstTheFileBesideIt) {
    const std::string document = file("paper.pdf", "the paper\0\x01"s);
    for (const std::string form : {"DER", "PEM"}) {
        const std::string sig = document + (form == "DER" ? ".p7s" : ".sig");
        Openssl("cms -sign -binary -md sha256 -outform", form, "-in", fs::path(document), "-out",
                fs::path(sig), "-signer", pki.alice.cert, "-inkey", pki.alice.key);
        ui = {};
        ui.answers = {false};
        const auto before = fs::last_write_time(document);
        EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);
        EXPECT_PRED2(StartsWith, reportLine(), "Name: Alice Example ==> Signed On: ");
        EXPECT_EQ(ui.questions.at(0),
                  "The file is decoded and stored at the following location:\r\n" + document +
                      "\r\nDo you want to view this file now?");
        // Nothing was written.
        EXPECT_EQ(fs::last_write_time(document), before);
        EXPECT_FALSE(fs::exists(document + "~"));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4);

    WriteFile(document, "the paper, changed");
    ui = {};
    EXPECT_EQ(VerifySig(ui, document + ".p7s"), Outcome::Failed);
    fs::remove(document);
    ui = {};
    EXPECT_EQ(VerifySig(ui, document + ".sig"), Outcome::Failed);
    EXPECT_PRED2(Like, ui.messages.at(0).text, "*looked for as \"" + document + "\"*");
}

TEST_F(SignedElsewhere, CoSigningADetachedSignatureKeepsItDetached) {
    install(pki.bob);
    fs::copy_file(pki.pki.folder() / "root.pem", home.root() / "root.pem");
    const std::string document = file("deal.txt", "the deal");
    const std::string sig = document + ".p7s";
    Openssl("cms -sign -binary -md sha256 -outform DER -in", fs::path(document), "-out",
            fs::path(sig), "-signer", pki.alice.cert, "-inkey", pki.alice.key);
    ui.picks = {0};
    EXPECT_EQ(CoSignContent(ui, sig, sig), Outcome::Completed);

    const std::string signers = Openssl(
        "cms -verify -noverify -binary -inform DER -in", fs::path(sig), "-content",
        fs::path(document), "-out /dev/null -signer /dev/stdout 2>/dev/null | grep -c BEGIN");
    EXPECT_EQ(signers, "2\n");
    ui = {};
    ui.answers = {false};
    EXPECT_EQ(VerifySig(ui, sig), Outcome::Completed);
    EXPECT_PRED2(Like, ui.messages.at(0).text, "*Name: Alice Example ==> *");
    EXPECT_PRED2(Like, ui.messages.at(0).text, "*Name: Bob Example ==> *");
}

TEST_F(SignedElsewhere, AnEd25519SignerWithoutAttributesIsCheckedOnlyUpToTheLimit) {
    if (!HaveCerttool()) {
        GTEST_SKIP() << "certtool is not installed";
    }
    const std::string document = file("big.img", "small for now");
    Certtool("--p7-detached-sign", dan, document, document + ".p7s");
    ui.answers = {false};
    EXPECT_EQ(VerifySig(ui, document + ".p7s"), Outcome::Completed);
    EXPECT_EQ(reportLine(), "Name: Dan Example ==> Signed On: (no signing time)");

    fs::resize_file(document, (std::uintmax_t{48} << 20) + 1);  // sparse
    ui = {};
    EXPECT_EQ(VerifySig(ui, document + ".p7s"), Outcome::Failed);
    EXPECT_PRED2(Like, ui.messages.at(0).text, "*Dan Example*48 MiB*");
}

}  // namespace quilvane::test
