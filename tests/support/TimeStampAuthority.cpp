#include "support/TimeStampAuthority.h"

#include <openssl/objects.h>

#include <map>

namespace quilvane::test {
namespace {

const char* const kConfig = R"([tsa]
default_tsa = tsa_config
[tsa_config]
serial = tsaserial
crypto_device = builtin
signer_cert = tsa.pem
signer_key = tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
)";

const char* const kReply = "openssl ts -reply -config tsa.cnf -queryfile /dev/stdin";

// The token of a true reply signed again, as CAdES, by the unfit certificate
// and put back into a granted reply.
const char* const kUnfit = R"(set -e
openssl ts -reply -config tsa.cnf -queryfile /dev/stdin -token_out -out unfit-good.der 2>/dev/null
openssl cms -verify -noverify -inform DER -in unfit-good.der -out unfit-info.der 2>/dev/null
openssl cms -sign -binary -nodetach -cades -nosmimecap -md sha256 \
    -econtent_type 1.2.840.113549.1.9.16.1.4 -signer unfit.pem -inkey unfit.key \
    -in unfit-info.der -outform DER -out unfit-token.der
python3 -c '
import sys
token = open("unfit-token.der", "rb").read()
def length(n):
    if n < 128:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(b)]) + b
body = bytes.fromhex("3003020100") + token
sys.stdout.buffer.write(b"\x30" + length(len(body)) + body)'
)";

}  // namespace

TimeStampAuthority::TimeStampAuthority(LoopbackServices& services, Pki& pki) : services_(services) {
    const fs::path& folder = services.folder();
    const Identity made = pki.issueBy(pki.root(), "tsa", "/CN=Quilvane Test TSA", KeyType::Ec,
                                      {{NID_ext_key_usage, "critical,timeStamping"},
                                       {NID_key_usage, "critical,digitalSignature"}});
    const Identity unfit = pki.issueBy(pki.root(), "unfit-tsa", "/CN=Unfit TSA", KeyType::Ec, {});
    tsa_ = {folder / "tsa.pem", folder / "tsa.key"};
    fs::copy_file(made.cert, tsa_.cert, fs::copy_options::overwrite_existing);
    fs::copy_file(made.key, tsa_.key, fs::copy_options::overwrite_existing);
    fs::copy_file(unfit.cert, folder / "unfit.pem", fs::copy_options::overwrite_existing);
    fs::copy_file(unfit.key, folder / "unfit.key", fs::copy_options::overwrite_existing);
    WriteFile(folder / "tsa.cnf", kConfig);
    WriteFile(folder / "other-data", "another signature");
    const std::map<std::string, std::string> scripts = {
        {"tsa", std::string(kReply) + " -out /dev/stdout 2>/dev/null\n"},
        {"other", "cat >/dev/null\nopenssl ts -query -data other-data -sha256 -cert | " +
                      std::string(kReply) + " -out /dev/stdout 2>/dev/null\n"},
        {"unfit", kUnfit},
        {"refuse", "cat >/dev/null\nprintf '\\060\\005\\060\\003\\002\\001\\002'\n"},
        {"broken", "cat >/dev/null\nexit 1\n"},
    };
    for (const auto& [name, script] : scripts) {
        WriteFile(folder / (name + ".sh"), script);
        WriteFile(folder / (name + ".type"), "application/timestamp-reply");
    }
}

}  // namespace quilvane::test
