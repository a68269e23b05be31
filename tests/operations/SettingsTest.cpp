// The settings file: what each text sets, and the lines it refuses.

#include <gtest/gtest.h>

#include <cstdlib>

#include "operations/Settings.h"
#include "support/Raised.h"
#include "support/TestPki.h"

namespace quilvane::test {
namespace {

std::string Shown(const NetworkSettings& s) {
    return s.timestampUrl + "|" + std::to_string(s.embedValidationData) + "|" +
           std::to_string(s.checkRevocation) + "|" + std::to_string(s.timeoutSeconds);
}

TEST(Settings, EachTextGivesItsSettingsOrNamesTheLineItRefuses) {
    // The text, then the settings (url|embed|check|timeout) or the error.
    const std::pair<std::string, std::string> cases[] = {
        {"", "|0|1|10"},
        {"[signing]\ntimestamp-url = http://tsa.example/ts \r\nembed-validation-data=true\n"
         "[verifying]\ncheck-revocation=false\n[network]\ntimeout-seconds=3",
         "http://tsa.example/ts|1|0|3"},
        // Comments, unknown sections and keys, and keys outside their section say nothing.
        {"# [network]\n; timeout-seconds=1\n[later]\ncolour=blue\ntimeout-seconds=1\n"
         "[signing]\ncheck-revocation=false\nno equals sign",
         "|0|1|10"},
        {"[verifying]\n\ncheck-revocation=yes",
         "q.conf, line 3: \"check-revocation\" is \"yes\", but must be true or false."},
        {"[network]\ntimeout-seconds=0", "q.conf, line 2: \"timeout-seconds\" is \"0\"*"},
        {"[network]\ntimeout-seconds=5s", "*\"timeout-seconds\" is \"5s\", but must be a whole*"},
        {"[signing]\nembed-validation-data=", "q.conf, line 2: *"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        std::string got;
        try {
            got = Shown(ParseSettings(text, "q.conf"));
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), EINVAL);
            got = error.description();
        }
        EXPECT_PRED2(Like, got, expected);
    }
}

TEST(Settings, TheFileIsFoundUnderTheConfigurationFolderAndMayBeMissing) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(SettingsPath(), dir / "quilvane" / "quilvane.conf");
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(SettingsPath(), fs::path(std::getenv("HOME")) / ".config/quilvane/quilvane.conf");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Shown(ReadSettings(dir / "none.conf")), "|0|1|10");
    WriteFile(dir / "q.conf", "[network]\ntimeout-seconds=4\n");
    EXPECT_EQ(ReadSettings(dir / "q.conf").timeoutSeconds, 4);
}

}  // namespace
}  // namespace quilvane::test
