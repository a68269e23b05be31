#pragma once
// Certificates made once per test program: making RSA keys takes a moment.

#include "support/TestPki.h"

namespace quilvane::test {

struct SharedPki {
    Pki pki;
    Identity alice;  // RSA, "/CN=Alice Example/O=Example Ltd"
    Identity bob;    // EC P-256, "/CN=Bob Example"
    Identity carol;  // RSA, no common name: "/emailAddress=carol@example.org/O=Carol Ltd"

    static SharedPki& get();

  private:
    explicit SharedPki(fs::path folder);
};

}  // namespace quilvane::test
