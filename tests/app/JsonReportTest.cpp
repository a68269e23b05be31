// The machine-readable report of the built program: its shape held against
// docs/verify-report.schema.json, its verdicts and its exit status.

#include <openssl/objects.h>

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
    // A signer whose CRL revokes it, and one whose CRL is not there.
    LoopbackServices services(dir / "www");
    const auto published = [&](const std::string& stem, const std::string& crl) {
        return pki.pki.issueBy(pki.pki.root(), stem, "/CN=" + stem, KeyType::Ec,
                               {{NID_crl_distribution_points, "URI:" + services.url(crl)}});
    };
    const Identity rita = published("Rita", "/files/root.crl");
    const Identity ursula = published("Ursula", "/files/none.crl");
    const std::string serial = Openssl("x509 -noout -serial -in", rita.cert).substr(7, 16);
    WriteFile(dir / "index.txt",
              "R\t301231000000Z\t261201000000Z,keyCompromise\t" + serial + "\tunknown\t/CN=Rita\n");
    WriteFile(dir / "crl.cnf",
              "[ca]\ndefault_ca=d\n[d]\ndefault_md=sha256\ndefault_crl_days=1\n"
              "database=" +
                  (dir / "index.txt").string() + "\n");
    Openssl("ca -batch -gencrl -config", dir / "crl.cnf", "-keyfile", pki.pki.root().key, "-cert",
            pki.pki.root().cert, "2>/dev/null | openssl crl -outform DER -out",
            services.folder() / "root.crl");
    OpensslSign(dir / "doc.txt", dir / "revoked.sig", {rita});
    OpensslSign(dir / "doc.txt", dir / "unknown.sig", {ursula});
    std::string changed = ReadFile(dir / "good.sig");
    changed.replace(changed.find("hello"), 5, "jello");
    WriteFile(dir / "changed.sig", changed);
    // Time-stamped, and the same signature with another signature's token.
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
        "          *[(s['name'], s['level'], s['indication'], s['subIndication'],\n"
        "             s['revocation']['state'])\n"
        "            for s in f['signers']])\n";
    WriteFile(dir / "summary.py", summary);
    const std::string schema = std::string(QUILVANE_SOURCE_DIR) + "/docs/verify-report.schema.json";
    const std::string good =
        "good.sig verified TOTAL_PASSED None "
        "('Alice Example', 'CMS', 'TOTAL_PASSED', None, 'not published')\n";
    const std::string self =
        "self.sig verified INDETERMINATE NO_CERTIFICATE_CHAIN_FOUND "
        "('Sam Self', 'CMS', 'INDETERMINATE', "
        "'NO_CERTIFICATE_CHAIN_FOUND', 'not published')\n";
    const std::string refused = "changed.sig refused TOTAL_FAILED HASH_FAILURE\n";
    const std::string revoked =
        "revoked.sig verified TOTAL_FAILED REVOKED "
        "('Rita', 'CMS', 'TOTAL_FAILED', 'REVOKED', 'revoked')\n"
        "unknown.sig verified INDETERMINATE TRY_LATER "
        "('Ursula', 'CMS', 'INDETERMINATE', 'TRY_LATER', 'unknown')\n";
    const std::string stamped =
        "doc.txt.sig verified TOTAL_PASSED None ('Alice Example', 'CAdES-B-T', 'TOTAL_PASSED', "
        "None, 'not published')\nswapped.sig verified TOTAL_FAILED HASH_FAILURE ('Alice Example', "
        "'CAdES-B-B', 'TOTAL_FAILED', 'HASH_FAILURE', 'not published')\n";
    std::vector<std::tuple<std::string, std::string, std::string, int>> cases = {
        {"--verify", "good.sig", good, 0},
        {"", "self.sig v", self, 3},
        {"--verify", "good.sig changed.sig self.sig", good + refused + self, 1},
        {"--verify", "doc.txt.sig swapped.sig", stamped, 3},
    };
    if (services.running()) {
        cases.push_back({"--verify", "revoked.sig unknown.sig", revoked, 3});
    }
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
