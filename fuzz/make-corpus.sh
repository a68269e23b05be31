#!/usr/bin/env bash
# Makes the seed corpora in fuzz/corpus/<target>/ with Quilvane itself and
# with the tools others sign with: openssl, gpgsm and certtool (a missing one
# is skipped). The signers are the fuzz targets' own test identities (taken
# from FuzzSupport.cpp) and a few more issued under the same root, so that
# co-signing gets past the chain check.
#   fuzz/make-corpus.sh [PROGRAM]    PROGRAM: a built quilvane (build/quilvane)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=${1:-}
if [ -z "$program" ]; then
    for candidate in "$here/../build/quilvane" "$here/../build-fuzz/quilvane"; do
        [ -x "$candidate" ] && program=$candidate && break
    done
fi
[ -x "$program" ] || { echo "make-corpus.sh: no built quilvane; give its path" >&2; exit 2; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
corpus=$here/corpus
# The seeds are made anew; the inputs fuzzing found and merged in (named by
# their SHA-1) stay.
mkdir -p "$corpus"
find "$corpus" -regextype posix-extended -type f ! -regex '.*/[0-9a-f]{40}' -delete
mkdir -p "$corpus"/{verify,cosign,extract,armour,decrypt,store,stream,commandline,timestamp,revocation}

# The PEM constant NAME of FuzzSupport.cpp.
constant() {
    sed -n "/^const char\* const $1 = R\"(/,/^)\";/p" "$here/FuzzSupport.cpp" | sed '1s/.*R"(//;$d'
}
constant kRootCertificatePem >root.pem
constant kRootKeyPem >root.key
constant kSignerCertificatePem >signer.pem
constant kSignerKeyPem >signer.key
constant kRecipientCertificatePem >recipient.pem
constant kRecipientKeyPem >recipient.key
constant kRevocableCertificatePem >revocable.pem
passphrase=$(sed -n 's/^const char\* const kPassphrase = "\(.*\)";/\1/p' "$here/FuzzSupport.cpp")

issue() {  # issue NAME SUBJECT GENPKEY-OPTIONS...
    local name=$1 subject=$2
    shift 2
    openssl genpkey "$@" -out "$name.key" 2>/dev/null
    openssl req -new -key "$name.key" -subj "$subject" -out "$name.csr" 2>/dev/null
    openssl x509 -req -in "$name.csr" -CA root.pem -CAkey root.key -set_serial "0x$(openssl rand -hex 8)" \
        -days 36500 -extfile <(printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n') \
        -out "$name.pem" 2>/dev/null
}
issue rsa "/CN=Fuzz RSA Signer/O=Quilvane Fuzz" -algorithm RSA -pkeyopt rsa_keygen_bits:2048
issue ed "/CN=Fuzz Ed25519 Signer" -algorithm ED25519
# The document of FuzzSupport.h's kDocument, which detached seeds sign.
printf 'A short document for the fuzz seeds.\r\n\0\xff\n' >doc.txt
have() { command -v "$1" >/dev/null || { echo "make-corpus.sh: no $1, its seeds are left out" >&2; false; }; }

# Quilvane in terminal mode with NAME's identity alone in its store.
quilvane() {  # quilvane NAME ARGS... (answers on standard input)
    local home=$work/home-$1
    shift
    mkdir -p "$home/quilvane/My" "$home/quilvane/Root"
    cp root.pem "$home/quilvane/Root/"
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$home" HOME="$home" "$program" "$@" \
        >/dev/null
}
for name in signer rsa ed; do
    mkdir -p "home-$name/quilvane/My"
    cat "$name.pem" "$name.key" >"home-$name/quilvane/My/$name.pem"
done

v=$corpus/verify
cp doc.txt q.txt && printf '1\nn\n' | quilvane signer q.txt s && mv q.txt.sig "$v/quilvane-ec.sig"
cp doc.txt q.txt && printf '1\nn\n' | quilvane rsa q.txt s && mv q.txt.sig "$v/quilvane-rsa.sig"
cp doc.txt q.txt && printf '1\nn\n' | quilvane ed q.txt s && mv q.txt.sig "$v/quilvane-ed25519.sig"
cp "$v/quilvane-ec.sig" c.sig && printf '1\n' | quilvane rsa c.sig c && mv c.sig "$v/quilvane-cosigned.sig"
# (OpenSSL 3.0's CMS code cannot sign with Ed25519: Quilvane makes those.)
cp "$v/quilvane-ed25519.sig" c.sig && printf '1\n' | quilvane signer c.sig c &&
    mv c.sig "$v/quilvane-ed25519-cosigned.sig"

sign() {  # sign OUT NAME OPTIONS...
    local out=$1 name=$2
    shift 2
    openssl cms -sign -in doc.txt -binary -nodetach -signer "$name.pem" -inkey "$name.key" "$@" \
        -out "$v/$out"
}
sign openssl-ec.der signer -outform DER
sign openssl-ber.der signer -outform DER -stream
sign openssl-ec.pem signer -outform PEM
sign openssl-rsa-chain.der rsa -outform DER -certfile root.pem
sign openssl-rsa-pss.der rsa -outform DER -keyopt rsa_padding_mode:pss
sign openssl-noattr.der signer -outform DER -noattr
sign openssl-nocerts.der signer -outform DER -nocerts
openssl cms -sign -in doc.txt -binary -signer signer.pem -inkey signer.key -outform DER \
    -out "$v/openssl-detached.der"
openssl cms -resign -inform DER -in "$v/openssl-ec.der" -signer rsa.pem -inkey rsa.key \
    -outform DER -out "$v/openssl-cosigned.der"
# Mails, and armour after text, a byte-order mark and indents.
mail() {  # mail OUT OPTIONS...
    local out=$1
    shift
    openssl smime -sign -in doc.txt -signer signer.pem -inkey signer.key "$@" -out "$v/$out"
}
mail smime-opaque.eml -nodetach
mail smime-multipart.eml
{
    printf '\357\273\277Signed:\n\n'
    sed 's/^/  /;1s/.*/-----BEGIN SIGNED MESSAGE-----/;$s/.*/-----END SIGNED MESSAGE-----/' \
        "$v/openssl-ec.pem"
} >"$v/armour-text.pem"
openssl base64 -in "$v/openssl-ec.der" >"$v/openssl-ec.b64"

# Signers whose certificates the root issued but whose trust fails for
# another reason than the root: expired, not yet valid, not meant for
# signing, under an intermediate, and a digest no longer trusted.
mkdir -p ca-signers
: >ca-signers/index.txt
echo 1000 >ca-signers/serial
cat >ca-signers.cnf <<'CONF'
[ca]
default_ca = fuzz
[fuzz]
database = ca-signers/index.txt
new_certs_dir = ca-signers
serial = ca-signers/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
CONF
dated() {  # dated NAME ISSUER START END EXTENSIONS...
    local name=$1 issuer=$2 start=$3 end=$4
    shift 4
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$name.key"
    openssl req -new -key "$name.key" -subj "/CN=Fuzz $name" -out "$name.csr" 2>/dev/null
    openssl ca -batch -config ca-signers.cnf -cert "$issuer.pem" -keyfile "$issuer.key" \
        -in "$name.csr" -startdate "$start" -enddate "$end" -notext -out "$name.pem" \
        -extfile <(printf '%s\n' "$@") 2>/dev/null
}
dated expired root 20200101000000Z 20210101000000Z basicConstraints=CA:FALSE
dated future root 21000101000000Z 21100101000000Z basicConstraints=CA:FALSE
dated encipherment root 20260101000000Z 21260101000000Z keyUsage=keyEncipherment
dated server root 20260101000000Z 21260101000000Z extendedKeyUsage=serverAuth
dated intermediate root 20260101000000Z 21260101000000Z basicConstraints=critical,CA:TRUE \
    keyUsage=keyCertSign,cRLSign
dated leaf intermediate 20260101000000Z 21260101000000Z basicConstraints=CA:FALSE \
    keyUsage=digitalSignature,nonRepudiation
dated lapsed-ca root 20200101000000Z 20210101000000Z basicConstraints=critical,CA:TRUE
dated under-lapsed lapsed-ca 20200601000000Z 21260101000000Z basicConstraints=CA:FALSE
for name in expired future encipherment server; do
    sign "trust-$name.der" "$name" -outform DER
done
sign trust-intermediate.der leaf -outform DER -certfile intermediate.pem
sign trust-no-intermediate.der leaf -outform DER
sign trust-lapsed-ca.der under-lapsed -outform DER -certfile lapsed-ca.pem
sign trust-sha1.der signer -outform DER -md sha1
sign trust-rsa-md5.der rsa -outform DER -md md5

# certtool (GnuTLS) signs in PKCS #7 form, PEM or DER.
if have certtool; then
    ct() {  # ct OUT OPTIONS...
        local out=$1
        shift
        certtool --load-privkey signer.key --load-certificate signer.pem --infile doc.txt "$@" \
            --outfile "$v/$out" 2>/dev/null
    }
    ct certtool.pem --p7-sign
    ct certtool-time.der --p7-sign --p7-time --p7-include-cert --outder
    ct certtool-detached.der --p7-detached-sign --outder
fi

# gpgsm writes BER with indefinite lengths. Its PKCS #12 import takes only
# the legacy ciphers and no EC key here, so the RSA recipient signs.
if have gpgsm && have gpgconf; then
    export GNUPGHOME=$work/gnupg
    trap 'gpgconf --kill gpg-agent; rm -rf "$work"' EXIT
    mkdir -m 700 "$GNUPGHOME"
    echo allow-loopback-pinentry >"$GNUPGHOME/gpg-agent.conf"
    printf 'disable-crl-checks\ndisable-policy-checks\n' >"$GNUPGHOME/gpgsm.conf"
    echo "$(openssl x509 -in root.pem -noout -fingerprint -sha1 | sed 's/.*=//') S relax" \
        >"$GNUPGHOME/trustlist.txt"
    openssl pkcs12 -export -legacy -in recipient.pem -inkey recipient.key \
        -passout "pass:$passphrase" -out gpgsm.p12
    gs() {  # gs ARGS... (the passphrase on standard input)
        echo "$passphrase" | gpgsm --batch --pinentry-mode loopback --passphrase-fd 0 "$@" \
            2>/dev/null
    }
    gs --import root.pem gpgsm.p12
    gs -u "Fuzz Recipient" --sign -o "$v/gpgsm.der" doc.txt
    gs -u "Fuzz Recipient" --detach-sign -o "$v/gpgsm-detached.der" doc.txt
    gs -u "Fuzz Recipient" --armor --sign -o "$v/gpgsm.pem" doc.txt
    gs -r "Fuzz Recipient" --encrypt -o "$corpus/decrypt/gpgsm.der" doc.txt
    gpgconf --kill gpg-agent
fi
cp "$v"/* "$corpus/cosign/"
cp "$v"/* "$corpus/extract/"

# Every text form behind a byte whose low six bits pick the chunk size less
# one and whose top bit has the decoded message read in smaller pieces.
a=$corpus/armour
n=0
for text in "$v"/*.pem "$v"/*.eml "$v"/*.b64; do
    { printf "\\x$(printf %02x $((n * 37 % 256)))"; cat "$text"; } >"$a/$(basename "$text")"
    n=$((n + 1))
done

d=$corpus/decrypt
encrypt() {  # encrypt OUT OPTIONS...
    local out=$1
    shift
    openssl cms -encrypt -in doc.txt -binary -recip recipient.pem "$@" -out "$d/$out"
}
encrypt aes256.der -aes256 -outform DER
encrypt aes128-ber.der -aes128 -outform DER -stream
encrypt aes-oaep.der -aes256 -outform DER -keyopt rsa_padding_mode:oaep
encrypt des3.der -des3 -outform DER
encrypt rc4.der -rc4 -outform DER -provider legacy -provider default
encrypt aes256.pem -aes256 -outform PEM
openssl cms -encrypt -in doc.txt -binary -aes256 -outform DER -out "$d/other-recipient.der" rsa.pem

# The first byte of a store input picks the file's name with its two low bits
# (0 no suffix, 1 .pem, 2 .der, 3 .p12) and with 4 the Root folder.
s=$corpus/store
seed() {  # seed OUT BYTE < FILE
    { printf "\\x$2"; cat; } >"$s/$1"
}
seed cert.pem 01 <signer.pem
seed key.pem 01 <signer.key
cat signer.pem signer.key | seed cert-and-key.pem 01
openssl pkcs8 -topk8 -in signer.key -v2 aes-256-cbc -passout "pass:$passphrase" |
    seed encrypted-key.pem 01
openssl pkey -in rsa.key -traditional -aes256 -passout "pass:$passphrase" 2>/dev/null |
    cat rsa.pem - | seed cert-and-traditional-encrypted-key 00
seed root.pem 05 <root.pem
openssl x509 -in root.pem -outform DER | seed root.der 06
openssl x509 -in signer.pem -outform DER | seed cert.der 02
openssl pkey -in signer.key -outform DER | seed key.der 02
openssl pkcs8 -topk8 -in signer.key -outform DER -v2 aes-256-cbc -passout "pass:$passphrase" |
    seed encrypted-key.der 02
p12() {  # p12 OUT OPTIONS...
    local out=$1
    shift
    openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile root.pem "$@" -out p12.tmp
    seed "$out" 03 <p12.tmp
}
p12 plain.p12 -passout pass:
p12 protected.p12 -passout "pass:$passphrase"
p12 protected-nomac.p12 -passout "pass:$passphrase" -nomac
p12 legacy.p12 -passout "pass:$passphrase" -legacy
openssl pkcs12 -export -in ed.pem -inkey ed.key -passout pass: -out p12.tmp
seed ed25519.p12 03 <p12.tmp
# (certtool's PKCS #12 and PKCS #8 files take 600,000 PBKDF2 rounds, seconds
# for each input under the sanitizers: the store's seeds come from openssl.)

# A few signed files behind a byte whose low six bits pick the chunk size
# less one and whose top bit has the chains checked.
chunked() {  # chunked OUT BYTE VERIFY-SEED
    { printf "\\x$2"; cat "$v/$3"; } >"$corpus/stream/$1"
}
chunked ec-1.der 00 openssl-ec.der
chunked ber-7.der 06 openssl-ber.der
chunked pem-3 02 openssl-ec.pem
chunked detached-5.der 04 openssl-detached.der
chunked rsa-chain-2.der 81 openssl-rsa-chain.der
chunked cosigned-16.sig 8f quilvane-cosigned.sig
chunked ed25519-64.sig 3f quilvane-ed25519.sig
[ -f "$v/gpgsm.der" ] && chunked gpgsm-9.der 88 gpgsm.der
[ -f "$v/certtool-time.der" ] && chunked certtool-time-4.der 83 certtool-time.der

# A count byte (arguments after the program's name), the name and the
# arguments each ended by NUL, then standard input.
c=$corpus/commandline
line() {  # line OUT COUNT ARGUMENTS-AND-INPUT (printf format)
    printf "\\x$2$3" >"$c/$1"
}
line help 01 'quilvane\x00--help\x00'
line version 01 '/usr/bin/quilvane\x00--version\x00'
line unknown-option 01 'quilvane\x00--sign\x00'
line window 00 'quilvane\x00'
line verify-interactive 01 'quilvane\x00report.pdf.sig\x00'
line sign-answers 02 'quilvane\x00report.pdf\x00s\x00''1\nsecret\ny\n'
line verify-answers 02 'quilvane\x00report.pdf.sig\x00v\x00''3\n0\n2\r\n\nno\n'
line cosign-cancel 02 'quilvane\x00./--name\x00c\x00''\n'
line cosign-answers 03 'quilvane\x00doc.sig\x00c\x00extra\x00'' 1 \npass word\r\nYES\n'
line unrecognised 02 'quilvane\x00report.pdf\x00V\x00'
# The time-stamping authority's replies and tokens, by openssl ts.
# The first byte of a time-stamp input: 00 for a nonce (eight bytes) and a
# reply, 01 for a token alone.
t=$corpus/timestamp
authority() {  # authority NAME SUBJECT GENPKEY-OPTIONS...
    local name=$1 subject=$2
    shift 2
    openssl genpkey "$@" -out "$name.key" 2>/dev/null
    openssl req -new -key "$name.key" -subj "$subject" -out "$name.csr" 2>/dev/null
    printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
        extendedKeyUsage=critical,timeStamping authorityInfoAccess=OCSP\;URI:http://127.0.0.1:9/ocsp \
        >tsa.ext
    openssl x509 -req -in "$name.csr" -CA root.pem -CAkey root.key \
        -set_serial "0x$(openssl rand -hex 8)" -days 36500 -extfile tsa.ext -out "$name.pem" 2>/dev/null
}
authority tsa "/CN=Fuzz Time-Stamping Authority" -algorithm EC -pkeyopt ec_paramgen_curve:P-256
authority tsa-rsa "/CN=Fuzz RSA Time-Stamping Authority" -algorithm RSA -pkeyopt rsa_keygen_bits:2048
# One that no trusted root issued.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout tsa-self.key \
    -subj "/CN=Fuzz Untrusted Authority" -days 36500 -out tsa-self.pem \
    -addext "extendedKeyUsage=critical,timeStamping" 2>/dev/null
cat >ts.cnf <<'CONF'
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = ts-serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
other_policies = 1.2.3.4.5
digests = sha1, sha256, sha384
accuracy = secs:1, millisecs:500
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CONF
echo 01 >ts-serial
stamp() {  # stamp OUT SIGNER QUERY-OPTIONS -- REPLY-OPTIONS
    local out=$1 signer=$2 query=() nonce
    shift 2
    while [ "$1" != -- ]; do query+=("$1"); shift; done
    shift
    openssl ts -query "${query[@]}" -out q.tsq 2>/dev/null
    nonce=$(openssl ts -query -in q.tsq -text 2>/dev/null | sed -n 's/^Nonce: 0x//p')
    nonce=$(printf '%016s' "${nonce:-0}" | tr ' ' 0)
    reply() {
        openssl ts -reply -config ts.cnf -queryfile q.tsq -signer "$signer.pem" \
            -inkey "$signer.key" "$@" 2>/dev/null
    }
    reply "$@" -out r.tsr
    { printf '\x00'; printf '%s' "$nonce" | xxd -r -p; cat r.tsr; } >"$t/$out"
    # A refusal holds no token.
    reply "$@" -token_out -out tok.der && { printf '\x01'; cat tok.der; } >"$t/token-$out" || true
}
stamp granted.tsr tsa -data doc.txt -sha256 -cert --
stamp granted-rsa.tsr tsa-rsa -data doc.txt -sha256 -cert --
stamp granted-chain.tsr tsa -data doc.txt -sha256 -cert -- -chain root.pem
stamp granted-sha1.tsr tsa -data doc.txt -sha1 -cert --
stamp granted-sha384.tsr tsa -data doc.txt -sha384 -cert -tspolicy 1.2.3.4.5 --
stamp no-certificate.tsr tsa -data doc.txt -sha256 --
stamp no-nonce.tsr tsa -data doc.txt -sha256 -cert -no_nonce --
stamp other-document.tsr tsa -data ts.cnf -sha256 -cert --
stamp untrusted.tsr tsa-self -data doc.txt -sha256 -cert --
stamp bad-digest.tsr tsa -data doc.txt -sha512 -cert --
stamp bad-policy.tsr tsa -data doc.txt -sha256 -cert -tspolicy 1.2.3.4.9 --
sed -i 's/ess_cert_id_alg = sha256/ess_cert_id_alg = sha1/' ts.cnf
stamp granted-ess-sha1.tsr tsa -data doc.txt -sha256 -cert --
# A reply to another request: the right reply, a nonce of its own.
{ printf '\x00\x01\x02\x03\x04\x05\x06\x07\x08'; tail -c +10 "$t/granted.tsr"; } >"$t/replayed.tsr"

# OCSP responses by openssl ocsp, CRLs by openssl ca and certtool.
# The first byte of a revocation input: 00 for a nonce (sixteen bytes) and
# an answer, 01 for an answer to a request without one, 02 a CRL, 03 a
# signed message carrying CRLs, 04 an OCSP response a message carries.
r=$corpus/revocation
serial=$(openssl x509 -in revocable.pem -noout -serial | sed 's/.*=//')
expiry=$(date -u -d '+50 years' +%y%m%d%H%M%SZ)
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out responder.key
openssl req -new -key responder.key -subj "/CN=Fuzz OCSP Responder" 2>/dev/null |
    openssl x509 -req -CA root.pem -CAkey root.key -set_serial 0x77 -days 36500 \
        -extfile <(printf 'extendedKeyUsage=OCSPSigning\nnoCheck=ignored\n') -out responder.pem 2>/dev/null
printf 'V\t%s\t\t%s\tunknown\t/CN=Fuzz Revocable Signer\n' "$expiry" "$serial" >good.txt
printf 'R\t%s\t%s,keyCompromise\t%s\tunknown\t/CN=Fuzz Revocable Signer\n' "$expiry" \
    "$(date -u -d '-1 day' +%y%m%d%H%M%SZ)" "$serial" >revoked.txt
printf 'V\t%s\t\t99\tunknown\t/CN=Someone Else\n' "$expiry" >unknown.txt
answer() {  # answer OUT INDEX SIGNER REQUEST-OPTIONS -- RESPONSE-OPTIONS
    local out=$1 index=$2 signer=$3 request=() byte=00
    shift 3
    while [ "$1" != -- ]; do request+=("$1"); shift; done
    shift
    openssl ocsp -issuer root.pem -cert revocable.pem "${request[@]}" -reqout req.der 2>/dev/null
    openssl ocsp -index "$index" -CA root.pem -rsigner "$signer.pem" -rkey "$signer.key" \
        -reqin req.der -respout resp.der "$@" >/dev/null 2>&1
    if [ ${#request[@]} -gt 0 ]; then  # -no_nonce
        { printf '\x01'; cat resp.der; } >"$r/$out"
    else  # the nonce ends the request
        { printf '\x00'; tail -c 16 req.der; cat resp.der; } >"$r/$out"
    fi
    { printf '\x04'; cat resp.der; } >"$r/carried-$out"
}
answer good.ocsp good.txt root --
answer good-days.ocsp good.txt root -- -ndays 36500
answer revoked.ocsp revoked.txt root --
answer unknown.ocsp unknown.txt root --
answer responder.ocsp good.txt responder --
answer responder-revoked.ocsp revoked.txt responder -- -resp_key_id -ndays 36500
answer no-certs.ocsp good.txt root -- -resp_no_certs
answer no-nonce.ocsp good.txt root -no_nonce --
answer no-nonce-revoked.ocsp revoked.txt responder -no_nonce -- -resp_key_id
answer untrusted.ocsp good.txt tsa-self --
answer stale.ocsp good.txt root -- -nmin 1 -validity_period 0
{ printf '\x00'; head -c 16 /dev/zero; tail -c +18 "$r/good.ocsp"; } >"$r/replayed.ocsp"
printf '\x01\x30\x03\x0a\x01\x06' >"$r/unauthorized.ocsp"
printf '\x01\x30\x03\x0a\x01\x03' >"$r/try-later.ocsp"

# The root's CRLs, each with the revocable certificate revoked for a reason.
mkdir -p ca
cat >ca.cnf <<'CONF'
[ca]
default_ca = fuzz
[fuzz]
database = ca/index.txt
crlnumber = ca/crlnumber
certificate = root.pem
private_key = root.key
default_md = sha256
default_crl_days = 36500
crl_extensions = crl_ext
[crl_ext]
authorityKeyIdentifier = keyid:always
CONF
crl() {  # crl OUT INDEX-LINE...
    local out=$1
    shift
    printf '%s\n' "$@" >ca/index.txt
    echo 1000 >ca/crlnumber
    openssl ca -config ca.cnf -gencrl -out crl.pem 2>/dev/null
    openssl crl -in crl.pem -outform DER -out crl.der
    { printf '\x02'; cat crl.der; } >"$r/$out"
    # A message that carries it, as crl2pkcs7 writes one.
    openssl crl2pkcs7 -in crl.pem -certfile revocable.pem -outform DER -out p7.der
    { printf '\x03'; cat p7.der; } >"$r/message-$out"
}
revoked_line() {  # revoked_line REASON
    printf 'R\t%s\t%s,%s\t%s\tunknown\t/CN=Fuzz Revocable Signer' "$expiry" \
        "$(date -u -d '-1 day' +%y%m%d%H%M%SZ)" "$1" "$serial"
}
crl empty.crl "$(printf 'V\t%s\t\t%s\tunknown\t/CN=Fuzz Revocable Signer' "$expiry" "$serial")"
for reason in unspecified keyCompromise CACompromise affiliationChanged superseded \
    cessationOfOperation removeFromCRL; do
    crl "$reason.crl" "$(revoked_line "$reason")" \
        "$(printf 'R\t%s\t%s\t42\tunknown\t/CN=Another' "$expiry" \
            "$(date -u -d '-2 day' +%y%m%d%H%M%SZ)")"
done
crl hold.crl "$(revoked_line certificateHold,holdInstructionReject)"
# Signed by another key under the root's name: it does not verify.
openssl req -x509 -new -key tsa-self.key -subj "/CN=Quilvane Fuzz Root" -days 36500 \
    -out forger.pem 2>/dev/null
sed -i 's/^certificate = root.pem/certificate = forger.pem/
        s/^private_key = root.key/private_key = tsa-self.key/' ca.cnf
crl forged.crl "$(revoked_line keyCompromise)"
if have certtool; then
    printf 'crl_next_update = 36500\ncrl_number = 7\n' >crl.tmpl
    certtool --generate-crl --load-ca-privkey root.key --load-ca-certificate root.pem \
        --load-certificate revocable.pem --template crl.tmpl --outder --outfile crl.der 2>/dev/null
    { printf '\x02'; cat crl.der; } >"$r/certtool.crl"
fi

echo "Seeds: $(find "$corpus" -type f | wc -l) files in $corpus"
