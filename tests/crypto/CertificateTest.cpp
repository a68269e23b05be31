#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crypto/Certificate.h"
#include "crypto/Error.h"
#include "crypto/SignedData.h"
#include "support/ScriptedUserInterface.h"
#include "support/SharedPki.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::ScriptedUserInterface;
using test::SharedPki;
using test::StoreHome;
using test::TempDir;

class CertificateTest : public ::testing::Test {
  protected:
    CertificateTest() : home(dir / "data") {}

    // A self-signed certificate put into the store; `extra` are further
    // options of openssl req.
    void make(const std::string& name, const std::string& subject, const std::string& extra = {}) {
        fs::path cert = home.my() / (name + ".pem");
        test::Run(
            "openssl req -x509 -utf8 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
            " -keyout " +
            Quote((dir / (name + ".key")).string()) + " -out " + Quote(cert.string()) +
            " -days 30 -subj " + Quote(subject) + " " + extra);
    }

    // The store's certificate from the file `name`.pem.
    Certificate stored(const std::string& name) {
        Store store;
        store.Open(ui, StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
        for (std::size_t i = 1; i <= store.Certificates().Count(); ++i) {
            const Certificate& certificate = store.Certificates().Item(i);
            if (fs::path(certificate.File()).filename() == name + ".pem") {
                return certificate;
            }
        }
        throw std::runtime_error("not in the store: " + name);
    }

    TempDir dir;
    StoreHome home;
    ScriptedUserInterface ui;
};

TEST_F(CertificateTest, SimpleNamesFallBackFromTheCommonName) {
    home.add({SharedPki::get().alice.cert, SharedPki::get().carol.cert});
    Certificate alice = stored("alice");
    EXPECT_EQ(alice.GetInfo(CertInfo::SubjectSimpleName), "Alice Example");
    EXPECT_EQ(alice.GetInfo(CertInfo::IssuerSimpleName), "Quilvane Test Root");
    EXPECT_EQ(stored("carol").GetInfo(CertInfo::SubjectSimpleName), "carol@example.org");

    make("utf8", "/CN=Jürgen Größe/O=Ünïcode GmbH");
    EXPECT_EQ(stored("utf8").GetInfo(CertInfo::SubjectSimpleName), "Jürgen Größe");
    make("alt", "/O=Alt Org", "-addext subjectAltName=email:alt@example.net");
    EXPECT_EQ(stored("alt").GetInfo(CertInfo::SubjectSimpleName), "alt@example.net");
    make("org", "/C=DE/O=Only Org Ltd");
    EXPECT_EQ(stored("org").GetInfo(CertInfo::SubjectSimpleName), "Only Org Ltd");
    EXPECT_EQ(stored("org").GetInfo(CertInfo::IssuerSimpleName), "Only Org Ltd");
    make("place", "/C=DE/L=Springfield");
    EXPECT_EQ(stored("place").GetInfo(CertInfo::SubjectSimpleName), "L=Springfield,C=DE");
    // The most specific of several common names.
    make("nested", "/CN=Users/CN=Nina Nested");
    EXPECT_EQ(stored("nested").GetInfo(CertInfo::SubjectSimpleName), "Nina Nested");
}

TEST_F(CertificateTest, ValidityEndAndFile) {
    auto& pki = SharedPki::get().pki;
    test::Identity utc =
        pki.issue("cert-utc", "/CN=Ute", test::KeyType::Ec, "20200101000000Z", "20210101000000Z");
    test::Identity general = pki.issue("cert-general", "/CN=Gene", test::KeyType::Ec,
                                       "20200101000000Z", "20600101000000Z");
    home.add({utc.cert, utc.key, general.cert});
    EXPECT_EQ(stored("cert-utc").ValidTo(), 1609459200);
    EXPECT_EQ(stored("cert-general").ValidTo(), 2840140800);
    EXPECT_EQ(stored("cert-utc").File(), (home.my() / "cert-utc.pem").string());

    // One from a message has no file.
    SignedData data;
    data.Content(BinaryString(Bytes("x", 1)));
    Signer signer;
    signer.Certificate(stored("cert-utc"));
    BinaryString message = data.Sign(signer, false, Encoding::Binary);
    data.Verify(std::move(message), false, VerifyFlag::SignatureOnly);
    EXPECT_EQ(data.Signers().at(0).Certificate().File(), "");
    EXPECT_EQ(data.Signers().at(0).Certificate().ValidTo(), 1609459200);
}

TEST_F(CertificateTest, CollectionsCountFromOne) {
    home.add({SharedPki::get().alice.cert, SharedPki::get().bob.cert});
    Store store;
    store.Open(ui, StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
    const Certificates& certificates = store.Certificates();
    ASSERT_EQ(certificates.Count(), 2u);
    EXPECT_NO_THROW(certificates.Item(2));
    for (std::size_t index : {0, 3}) {
        try {
            certificates.Item(index);
            ADD_FAILURE() << "item " << index;
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), status::NoSuchItem);
            EXPECT_EQ(error.description(),
                      "There is no item " + std::to_string(index) + " in a collection of 2.");
        }
    }
}

}  // namespace
}  // namespace quilvane
