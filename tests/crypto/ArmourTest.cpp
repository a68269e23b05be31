// The forms a signed message's file comes in: each read to its document in
// small chunks, or refused naming what the file is; and a multipart/signed
// mail taken apart as its signature was made.

#include "CryptoTest.h"
#include "internal/Armour.h"

namespace quilvane::test {
namespace {

const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete: ";

// `base64` in lines of 64, each after `indent`, with `eol` line ends.
std::string Lines(const std::string& base64, const std::string& indent, const std::string& eol) {
    std::string out;
    for (std::size_t at = 0; at < base64.size(); at += 64) {
        out += indent + base64.substr(at, 64) + eol;
    }
    return out;
}

using Armour = CryptoTest;

TEST_F(Armour, ReadsEveryFormOrNamesWhatTheFileIs) {
    const std::string document = "Dear Bob,\r\nthe agreement.\r\n";
    const fs::path doc = save("doc.txt", document), der = dir / "doc.sig";
    OpensslSign(doc, der, {pki.alice});
    const std::string base64 = Openssl("base64 -A -in", der);
    const std::string pem =
        "-----BEGIN PKCS7-----\n" + Lines(base64, "", "\n") + "-----END PKCS7-----\n";
    const std::string mail =
        "MIME-Version: 1.0\r\nContent-Type: application/x-pkcs7-mime;\r\n"
        " smime-type=signed-data; name=\"smime.p7m\"\r\n";
    const auto armoured = [&](const std::string& label, const std::string& headers) {
        return "-----BEGIN " + label + "-----\n" + headers + Lines(base64, "", "\n") + "-----END " +
               label + "-----\n";
    };
    struct Row {
        const char* name;
        std::string bytes;
        std::string refused;  // empty: the document is read
        MessageWrapping wrapping = MessageWrapping::Plain;
    };
    const std::vector<Row> rows = {
        {"PEM after text, a byte-order mark and indents",
         "\xEF\xBB\xBFSigned by Alice:\r\n\r\n  \t-----BEGIN CMS-----\r\n" +
             Lines(base64, "   ", "\r\n") + "-----END CMS-----\r\n",
         ""},
        {"gpgsm's armour", armoured("SIGNED MESSAGE", ""), ""},
        {"long header lines",
         armoured("PKCS #7 SIGNED DATA",
                  "Proc-Type: 4,MIC-ONLY\nComment: " + std::string(9000, 'x') + "\n continued\n\n"),
         ""},
        {"text like a header first", "Note: signed\n" + pem, ""},
        {"bare Base64 on one line", base64, ""},
        {"a private key", ReadFile(pki.alice.key) + pem, "it holds a private key."},
        {"PEM of another kind", armoured("X509 CRL", ""), "it is a certificate revocation list."},
        {"text", "Just a letter.\n", "it is text, but not a signed message in PEM form."},
        {"MIME, Base64",
         mail + "Content-Transfer-Encoding: base64\r\n\r\n" + Lines(base64, "", "\r\n"), "",
         MessageWrapping::Mime},
        {"MIME, binary", mail + "Content-Transfer-Encoding: binary\r\n\r\n" + ReadFile(der), "",
         MessageWrapping::Mime},
        {"MIME, quoted-printable", mail + "Content-Transfer-Encoding: quoted-printable\r\n\r\n=41",
         "its content is in the transfer encoding \"quoted-printable\", which is not read here."},
        {"MIME of another type", "MIME-Version: 1.0\nContent-Type: Text/Plain; charset=utf-8\n\nHi",
         "it is a MIME entity of the type \"text/plain\"."},
        {"multipart/signed by OpenPGP",
         "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; boundary=b\n\n",
         "it is a multipart/signed mail whose signature is of the type "
         "\"application/pgp-signature\"."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemorySource source(row.bytes, 7);
        AppendSink out;
        SignedData data;
        const Raise raised = Raised([&] { data.Verify(source, &out, VerifyFlag::SignatureOnly); });
        if (row.refused.empty()) {
            EXPECT_EQ(raised, Raise{});
            EXPECT_EQ(out.text, document);
            EXPECT_EQ(data.Wrapping(), row.wrapping);
        } else {
            EXPECT_EQ(raised, Raise(BadMessage, kNotSigned + row.refused));
        }
    }
}

TEST_F(Armour, TakesAMultipartSignedMailApartAsItWasSigned) {
    const fs::path doc = save("letter.txt", "Content-Type: text/plain\n\nline one\nline two\n");
    const fs::path mail = dir / "letter.eml", pkcs7 = dir / "letter.p7s";
    Openssl("smime -sign -in", doc, "-signer", pki.alice.cert, "-inkey", pki.alice.key, "-out",
            mail);
    test::Run("openssl smime -pk7out -in " + Word(mail) + " | sed '1d;$d' | openssl base64 -d >" +
              Word(pkcs7));
    // As openssl writes it, and as a mail system may keep it (LF alone).
    const std::string written = ReadFile(mail);
    std::string lf = written;
    std::erase(lf, '\r');
    for (const std::string& bytes : {written, lf}) {
        MemorySource source(bytes, 5);
        streaming::ArmourDecoder decoder(source, 5);
        ASSERT_EQ(decoder.Wrapping(), MessageWrapping::MultipartSigned);
        const streaming::SignedParts parts = decoder.TakeSignedParts();
        EXPECT_EQ(std::string(parts.document.begin(), parts.document.end()),
                  "Content-Type: text/plain\r\n\r\nline one\r\nline two\r\n");
        EXPECT_EQ(std::string(parts.signature.begin(), parts.signature.end()), ReadFile(pkcs7));
        // The bytes the signature holds over, as openssl checks them.
        WriteFile(dir / "part", std::string(parts.document.begin(), parts.document.end()));
        EXPECT_EQ(RunStatus("openssl cms -verify -noverify -binary -inform DER -in " + Word(pkcs7) +
                            " -content " + Word(dir / "part") + " >/dev/null 2>&1"),
                  0);
    }
}

}  // namespace
}  // namespace quilvane::test
