#pragma once
// Readable text for what certificates and signed messages hold: names of
// people and the values of signed attributes.

#include <cstddef>
#include <string>

#include <openssl/x509v3.h>

#include "internal/Handles.h"

namespace quilvane::ossl {

// The UTF-8 text of an ASN.1 string of any character type ("" when it holds
// none or cannot be converted).
std::string Utf8(const ASN1_STRING* text);

// Bytes as upper-case hexadecimal pairs joined by colons ("3A:0F:C2").
std::string Hex(const unsigned char* bytes, std::size_t size);

// A certificate's SHA-256 fingerprint, as Hex writes it.
std::string Fingerprint(X509* certificate);

// The short name a person knows a certificate holder by: the common name;
// without one the e-mail address (the emailAddress attribute, else an rfc822
// name among `altNames`, which may be null), then the organisation, and
// last the whole distinguished name on one line. "" for an empty name.
std::string SimpleName(const X509_NAME* name, const GENERAL_NAMES* altNames);

// How a certificate holder is named in descriptions: the subject's simple
// name made safe to show, or "an unnamed signer" when it has none.
std::string NameOf(X509* certificate);

// One attribute as "<its long name>: <its values>", several values joined by
// ", ": texts as they are, times as "YYYY-MM-DD HH:MM:SS UTC", numbers in
// decimal, object identifiers by name, anything else as hexadecimal.
std::string AttributeText(X509_ATTRIBUTE* attribute);

}  // namespace quilvane::ossl
