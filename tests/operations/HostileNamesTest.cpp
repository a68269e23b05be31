#include "OperationsTest.h"
#include "crypto/SafeText.h"
#include "support/Forge.h"

namespace quilvane::test {

using HostileNamesTest = OperationsTest;

TEST_F(HostileNamesTest, NamesAreShownSafelyInTheReportThePickListAndErrors) {
    using Case = std::pair<std::string, std::string>;  // the common name, as shown
    for (const auto& [name, shown] : {
             Case{"Mallory\r\nName: Head of Finance ==> Signed On: 01/01/30 09:00:00",
                  "Mallory\\r\\nName: Head of Finance ==> Signed On: 01/01/30 09:00:00"},
             Case{"invoice\u202Egnp.exe", "invoice<U+202E>gnp.exe"},
             Case{"bell\a back\b nul"s + '\0' + "!", "bell\\x07 back\\x08 nul\\x00!"},
             Case{std::string(100000, 'A'), std::string(255, 'A') + "\u2026"},
             Case{"", ""},
         }) {
        fs::remove_all(home.my());
        fs::create_directories(home.my());
        install(NamedIdentity(dir.path(), "hostile", name));
        const std::string document = file("doc.txt", "content");
        ScriptedUserInterface signer, verifier, coSigner;
        signer.picks.push_back(0);
        ASSERT_EQ(SignFile(signer, document, document + ".sig"), Outcome::Completed);
        ASSERT_EQ(VerifySig(verifier, document + ".sig"), Outcome::Completed);
        ASSERT_EQ(CoSignContent(coSigner, document + ".sig", document + ".sig"), Outcome::Failed);

        const CertificateRow& row = signer.pickLists.at(0).at(0);
        EXPECT_EQ(row.issuedTo + "|" + row.issuedBy, shown + "|" + shown);
        const ScriptedUserInterface::Message& report = verifier.messages.at(0);
        // One line for the signer, which no name can break or add to.
        EXPECT_PRED2(StartsWith, report.text, kReportStart + "Name: " + shown + " ==> Signed On: ");
        EXPECT_EQ(report.text.find("\r\n", kReportStart.size()), report.text.size() - 2);
        EXPECT_PRED2(StartsWith, report.notes.informative,
                     "Certificate of " + shown + ": not trusted (self-signed) \u2014 issued by " +
                         shown + ", valid until ");
        EXPECT_EQ(coSigner.messages.at(0).text, "CAPICOM error found : The certificate of " +
                                                    (shown.empty() ? "an unnamed signer" : shown) +
                                                    " was not issued by a trusted root.");
    }
}

TEST(SafeTextTest, EscapesWhatWouldSteerTheScreenAndKeepsTheRest) {
    using Case = std::tuple<std::string, std::size_t, std::string>;  // text, limit, as shown
    for (const auto& [text, limit, shown] : {
             Case{"Zoë Ångström 山田 \U0001F600 \\path", 256,
                  "Zoë Ångström 山田 \U0001F600 \\path"},
             Case{"tab\tdel\x7F c1\u0085 \x1B[2J", 256, "tab\\tdel\\x7F c1\\x85 \\x1B[2J"},
             Case{"\u2066iso\u2069\u200B\uFEFF\u061C\u2028", 256,
                  "<U+2066>iso<U+2069><U+200B><U+FEFF><U+061C><U+2028>"},
             Case{"pound\u0890mark \U00013430joiner", 256, "pound<U+0890>mark <U+13430>joiner"},
             // A stray continuation byte, an overlong "/", a cut sequence, a surrogate.
             Case{"a\x80 b\xC0\xAF c\xE2\x82 d\xED\xA0\x80", 256,
                  "a\uFFFD b\uFFFD\uFFFD c\uFFFD\uFFFD d\uFFFD\uFFFD\uFFFD"},
             // Cut to the limit, the ellipsis counted, an escape never split.
             Case{"abcdef", 6, "abcdef"},
             Case{"abcdefg", 6, "abcde\u2026"},
             Case{"abc\x1B"
                  "defg",
                  6, "abc\u2026"},
             Case{"ééééééé", 6, "ééééé\u2026"},
         }) {
        EXPECT_EQ(SafeText(text, limit), shown);
    }
}

}  // namespace quilvane::test
