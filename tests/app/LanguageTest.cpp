// The person's language: every text shown comes from the catalogue, German
// and French show the window, the errors and the verdicts in that language,
// and what programs read stays English.

#include <clocale>

#include "app/AppTestSupport.h"
#include "app/MainWindow.h"
#include "crypto/Text.h"

namespace quilvane::test {
namespace {

// Whether the system can run programs in `locale`.
bool HasLocale(const char* locale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    const bool has = std::setlocale(LC_ALL, locale) != nullptr;
    std::setlocale(LC_ALL, before.c_str());
    return has;
}

// A signed file of Alice's, whose root nobody here trusts, and a file that is
// not signed at all, in `dir`.
void MakeFiles(const TempDir& dir) {
    WriteFile(dir / "doc.txt", "text");
    OpensslSign(dir / "doc.txt", dir / "doc.txt.sig", {SharedPki::get().alice});
    WriteFile(dir / "junk.sig", "junk");
}

}  // namespace

TEST(Format, FillsTheNumberedPlacesWhereverThePatternPutsThem) {
    EXPECT_EQ(Format("%1 of %2", "a", "b"), "a of b");
    EXPECT_EQ(Format("%2, %1 and %1", "a", "b"), "b, a and a");
    // A place with no value, a lone '%' and a value holding "%2" stay as they are.
    EXPECT_EQ(Format("100% %1 %3", "%2", "b"), "100% %2 %3");
    EXPECT_EQ(CrLf("a\nb\n"), "a\r\nb\r\n");
}

// The pseudo-language wraps each line of each text of the template in ⟦ ⟧:
// a line shown without them holds a text that was never marked.
TEST(Language, EveryLineShownComesFromTheCatalogue) {
    TempDir dir;
    StoreHome store(dir / "data");
    MakeFiles(dir);
    const std::string pseudo = "LC_ALL=C.UTF-8 LANGUAGE=xx";
    for (const auto& [file, letter, input] : {std::tuple{"--help", "", ""},
                                              {"--verify", "missing.sig junk.sig", ""},
                                              {"doc.txt.sig", "v", "n\n"},
                                              {"doc.txt", "s", ""},
                                              {"--timeout", "0", ""}}) {
        const std::string shown = RunProgram(dir.path(), file, letter, input, pseudo);
        SCOPED_TRACE(shown);
        std::istringstream lines(shown.substr(0, shown.rfind("exit ")));
        for (std::string line; std::getline(lines, line);) {
            if (!Trimmed(line).empty() && line != "(") {
                EXPECT_NE(line.find("⟦"), std::string::npos) << line;
            }
        }
    }
}

TEST(Language, GermanAndFrenchShowTheWindowTheErrorsAndTheVerdicts) {
    struct Case {
        const char* locale;
        std::vector<QString> tabs;
        std::string programError, serviceError, verdict;
    };
    const Case cases[] = {
        {"de_DE.UTF-8",
         {"Signieren", "&Mitsignieren", "&Prüfen", "Info"},
         "Fehler beim Öffnen von „missing.sig“: ",
         "Die Datei ist keine signierte Nachricht, oder sie ist beschädigt oder unvollständig: "
         "sie ist Text, aber keine signierte Nachricht in PEM-Form.",
         "Zertifikat von Alice Example: nicht vertrauenswürdig (nicht von einer "
         "vertrauenswürdigen Wurzel ausgestellt) — ausgestellt von "},
        {"fr_FR.UTF-8",
         {"Signer", "&Cosigner", "&Vérifier", "À propos"},
         "Impossible d’ouvrir « missing.sig » : ",
         "Le fichier n’est pas un message signé, ou il est endommagé ou incomplet : c’est du "
         "texte, mais pas un message signé au format PEM.",
         "Certificat de Alice Example : pas de confiance (non délivré par une racine de "
         "confiance) — délivré par "},
    };
    TempDir dir;
    StoreHome store(dir / "data");
    MakeFiles(dir);
    Recorder recorder;
    const OperationTable operations = recorder.operations();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        if (!HasLocale(c.locale)) {
            GTEST_SKIP() << "the locale " << c.locale << " is not generated (./dev test does it)";
        }
        const std::string env = std::string("LC_ALL=") + c.locale;
        EXPECT_PRED2(Like, RunProgram(dir.path(), "missing.sig", "v", "", env),
                     "*" + c.programError + "*exit 1)");
        EXPECT_PRED2(Like, RunProgram(dir.path(), "junk.sig", "v", "", env),
                     "*" + c.serviceError + "*exit 1)");
        EXPECT_PRED2(Like, RunProgram(dir.path(), "doc.txt.sig", "v", "n\n", env),
                     "*" + c.verdict + "*exit 0)");
        // The report is for programs: English in every language.
        EXPECT_PRED2(Like, RunProgram(dir.path(), "--json", "junk.sig v", "", env),
                     "*The file is not a signed message*");

        setenv("LC_ALL", c.locale, 1);
        std::setlocale(LC_ALL, "");
        {
            MainWindow window(operations);
            auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("sstMain"));
            ASSERT_NE(tabs, nullptr);
            for (int i = 0; i < tabs->count(); ++i) {
                EXPECT_EQ(tabs->tabText(i), c.tabs[static_cast<std::size_t>(i)]);
            }
        }
        setenv("LC_ALL", "C.UTF-8", 1);
        std::setlocale(LC_ALL, "C.UTF-8");
    }
}

}  // namespace quilvane::test
