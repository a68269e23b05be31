// Two programs at once on one signed file.

#include "app/AppTestSupport.h"

namespace quilvane::test {

// The first co-sign waits at its pick list holding the file; a second one
// started then is refused and changes nothing, and the first then adds its
// signature without losing any.
TEST(EndToEnd, ASecondCoSignOfTheSameFileIsRefusedWhileTheFirstWorks) {
    TempDir dir;
    StoreHome store(dir / "data");
    SharedPki& pki = SharedPki::get();
    store.add({pki.bob.cert, pki.bob.key});
    fs::copy_file(pki.pki.folder() / "root.pem", store.root() / "root.pem");
    WriteFile(dir / "doc", "the document");
    OpensslSign(dir / "doc", dir / "doc.sig", {pki.alice});
    const char* binary = std::getenv("QUILVANE_BINARY");
    ASSERT_NE(binary, nullptr);
    const std::string program =
        "timeout -k 5 30 env -u DISPLAY -u WAYLAND_DISPLAY setsid -w " + Quote(binary);
    // The first reads its answer from a FIFO held open until the second ended.
    const int status = RunStatus(
        "cd " + Quote(dir.path().string()) + " && mkfifo answer || exit 1; (" + program +
        " doc.sig c <answer >first 2>&1; echo $? >first-status) & exec 3>answer" +
        "; for i in $(seq 200); do grep -q 'Certificate number' first 2>/dev/null && break; "
        "sleep 0.1; done; echo 1 | " +
        program + " doc.sig c >second 2>&1; echo $? >second-status; echo 1 >&3; exec 3>&-; wait");
    ASSERT_EQ(status, 0);
    EXPECT_EQ(ReadFile(dir / "second-status"), "1\n") << ReadFile(dir / "second");
    EXPECT_PRED2(Like, ReadFile(dir / "second"),
                 "*VB Error found:Cannot co-sign \"doc.sig\": it is being changed by another "
                 "program. Try again when that program is done.\n");
    EXPECT_EQ(ReadFile(dir / "first-status"), "0\n") << ReadFile(dir / "first");
    const std::string report = RunProgram(dir.path(), "doc.sig", "v", "n\n");
    for (const char* signer : {"*Name: Alice Example*(exit 0)", "*Name: Bob Example*(exit 0)"}) {
        EXPECT_PRED2(Like, report, signer);
    }
}

}  // namespace quilvane::test
