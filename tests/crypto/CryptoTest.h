#pragma once
// What the crypto tests share: a personal store in a temporary folder, the
// scripted secret prompt, content in memory, and errors caught as their
// status and description.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "crypto/Bytes.h"
#include "crypto/Certificate.h"
#include "crypto/Error.h"
#include "crypto/SignedData.h"
#include "crypto/Store.h"
#include "support/MemoryStreams.h"
#include "support/Raised.h"
#include "support/ScriptedSecrets.h"
#include "support/TestPki.h"

namespace quilvane::test {

using namespace status;

class CryptoTest : public ::testing::Test {
  protected:
    static BinaryString Binary(const std::string& s) { return BinaryString({s.data(), s.size()}); }
    static std::string Text(const BinaryString& b) { return {b.view().begin(), b.view().end()}; }

    fs::path save(const std::string& name, const std::string& bytes) {
        WriteFile(dir / name, bytes);
        return dir / name;
    }

    // `document` signed by `certificate`: laid out ahead and patched, or appended.
    static std::string Signed(const Certificate& certificate, const std::string& document,
                              bool patchable = true) {
        Signer signer;
        signer.Certificate(certificate);
        MemorySource source(document);
        MemorySink patch;
        AppendSink append;
        SignedData().Sign(source, patchable ? patch : append, signer);
        return patchable ? patch.text : append.text;
    }

    Certificates open() {
        Store store;
        store.Open(ui.prompt(), "My");
        return store.Certificates();
    }
    // A personal store of `id`'s certificate and key only; the certificate as it lists it.
    Certificate mine(const Identity& id) {
        fs::remove_all(home.my());
        fs::create_directory(home.my());
        home.add({id.cert, id.key});
        return open().Item(1);
    }

    SharedPki& pki = SharedPki::get();
    TempDir dir;
    StoreHome home{dir / "data"};
    ScriptedSecrets ui;
};

}  // namespace quilvane::test
