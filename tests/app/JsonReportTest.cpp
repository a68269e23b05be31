// The machine-readable report of the built program: its shape held against
// docs/verify-report.schema.json, its verdicts and its exit status.

#include "app/AppTestSupport.h"
#include "crypto/Network.h"
#include "operations/Signing.h"
#include "support/LoopbackServices.h"
#include "support/ScriptedUserInterface.h"
#include "support/TimeStampAuthority.h"

namespace quilvane::test {

TEST(JsonReport, ValidatesAgainstItsSchemaAndEndsWithTheStatusOfItsFiles) {
    if (RunStatus("python3 -c 'import jsonschema'") != 0) {
        GTEST_SKIP() << "python3 with jsonschema (python3-jsonschema) is missing";
    }
    TempDir dir;
    StoreHome store(dir / "data");
    SharedPki& pki = SharedPki::get();
    fs::copy_file(pki.pki.root().cert, store.root() / "root.pem");
    const Identity sam{dir / "self.pem", dir / "self.key"};
    Openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30",
            "-subj '/CN=Sam Self' -keyout", sam.key, "-out", sam.cert);
    WriteFile(dir / "doc.txt", "hello world");
    OpensslSign(dir / "doc.txt", dir / "good.sig", {pki.alice});
    OpensslSign(dir / "doc.txt", dir / "self.sig", {sam});
    std::string changed = ReadFile(dir / "good.sig");
    changed.replace(changed.find("hello"), 5, "jello");
    WriteFile(dir / "changed.sig", changed);
    // Time-stamped, and the same signature with another signature's token.
    LoopbackServices services(dir / "www");
    TimeStampAuthority tsa(services, pki.pki);
    NetworkSettings settings;
    settings.timestampUrl = tsa.url();
    UseNetworkSettings(settings);
    store.add({pki.alice.cert, pki.alice.key});
    WriteFile(dir / "other.txt", "another document");
    for (const char* name : {"doc.txt", "other.txt"}) {
        ScriptedUserInterface person;
        person.picks = {0};
        const std::string document = (dir / name).string();
        EXPECT_EQ(SignFile(person, document, document + ".sig"), Outcome::Completed);
    }
    UseNetworkSettings({});
    WriteFile(dir / "swapped.sig", WithToken(ReadFile(dir / "doc.txt.sig"),
                                             TokenOf(ReadFile(dir / "other.txt.sig"), 0)));

    // Each file's outcome and validation, and its signers', as a line.
    const std::string summary =
        "import json, sys, jsonschema\n"
        "report = json.load(open(sys.argv[2]))\n"
        "jsonschema.validate(report, json.load(open(sys.argv[1])))\n"
        "for f in report['files']:\n"
        "    print(f['path'], f['outcome'], f['indication'], f['subIndication'],\n"
        "          *[(s['name'], s['level'], s['indication'], s['subIndication'])\n"
        "            for s in f['signers']])\n";
    WriteFile(dir / "summary.py", summary);
    const std::string schema = std::string(QUILVANE_SOURCE_DIR) + "/docs/verify-report.schema.json";
    const std::string good =
        "good.sig verified TOTAL_PASSED None "
        "('Alice Example', 'CMS', 'TOTAL_PASSED', None)\n";
    const std::string self =
        "self.sig verified INDETERMINATE NO_CERTIFICATE_CHAIN_FOUND "
        "('Sam Self', 'CMS', 'INDETERMINATE', "
        "'NO_CERTIFICATE_CHAIN_FOUND')\n";
    const std::string refused = "changed.sig refused TOTAL_FAILED HASH_FAILURE\n";
    const std::string stamped =
        "doc.txt.sig verified TOTAL_PASSED None ('Alice Example', 'CAdES-B-T', 'TOTAL_PASSED', "
        "None)\nswapped.sig verified TOTAL_FAILED HASH_FAILURE ('Alice Example', 'CAdES-B-B', "
        "'TOTAL_FAILED', 'HASH_FAILURE')\n";
    const std::tuple<std::string, std::string, std::string, int> cases[] = {
        {"--verify", "good.sig", good, 0},
        {"", "self.sig v", self, 3},
        {"--verify", "good.sig changed.sig self.sig", good + refused + self, 1},
        {"--verify", "doc.txt.sig swapped.sig", stamped, 3},
    };
    for (const auto& [option, files, expected, status] : cases) {
        SCOPED_TRACE(files);
        const std::string run = RunProgram(dir.path(), "--json", option + " " + files, "");
        const std::size_t end = run.rfind('(');
        WriteFile(dir / "report.json", run.substr(0, end));
        EXPECT_EQ(run.substr(end), "(exit " + std::to_string(status) + ")");
        std::string output;
        EXPECT_EQ(RunStatus("cd " + Quote(dir.path().string()) + " && python3 summary.py " +
                                Quote(schema) + " report.json",
                            &output),
                  0)
            << output;
        EXPECT_EQ(output, expected);
    }
    EXPECT_EQ(ReadFile(dir / "good"), "hello world") << "the document is still written";
}

}  // namespace quilvane::test
