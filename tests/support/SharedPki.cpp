#include "support/SharedPki.h"

namespace quilvane::test {

SharedPki::SharedPki(fs::path folder) : pki(std::move(folder)) {
    alice = pki.issue("alice", "/CN=Alice Example/O=Example Ltd", KeyType::Rsa);
    bob = pki.issue("bob", "/CN=Bob Example", KeyType::Ec);
    carol = pki.issue("carol", "/emailAddress=carol@example.org/O=Carol Ltd", KeyType::Rsa);
}

SharedPki& SharedPki::get() {
    // Lives until the program ends; the folder goes with it.
    static TempDir folder;
    static SharedPki shared(folder.path());
    return shared;
}

}  // namespace quilvane::test
