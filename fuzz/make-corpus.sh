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
mkdir -p "$corpus"/{verify,cosign,extract,armour,decrypt,store,stream,commandline}

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
echo "Seeds: $(find "$corpus" -type f | wc -l) files in $corpus"
