// Opening a document through GIO, on a desktop made up for each test: a MIME
// database that knows one made-up type, and an application for it (or none)
// in temporary XDG folders. GIO reads those folders once per process, so each
// call runs in a child process of its own.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "app/OpenDocument.h"
#include "support/TestPki.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;
using fs::path;

constexpr const char* kType = "application/x-quilvane-test";
constexpr int kNobody = 65534;

class Desktop {
  public:
    Desktop() {
        fs::create_directories(data() / "mime");
        fs::create_directories(config());
        fs::create_directories(system());
        fs::create_directories(home());
        fs::create_directories(docs());
        // Everything here can be entered by another user, for the tests that
        // drop root's rights to meet a refused permission.
        fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec |
                                         fs::perms::others_exec | fs::perms::group_read |
                                         fs::perms::others_read);
        test::WriteFile(data() / "mime" / "globs2", std::string("50:") + kType + ":*.qvtest\n");
    }

    // Adds an application for the made-up type that writes, into the marker
    // file, its working folder and the path it was given.
    void addOpener() {
        const path script = dir_ / "opener.sh";
        test::WriteFile(script, "#!/bin/sh\n{ pwd -P; printf '%s\\n' \"$1\"; } > " +
                                    test::Quote(marker().string() + ".part") + " && mv " +
                                    test::Quote(marker().string() + ".part") + " " +
                                    test::Quote(marker().string()) + "\n");
        fs::permissions(script, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
        fs::create_directories(data() / "applications");
        test::WriteFile(data() / "applications" / "quilvane-test-opener.desktop",
                        "[Desktop Entry]\nType=Application\nName=Test opener\nExec=" +
                            script.string() + " %f\nMimeType=" + kType + ";\n");
        // The index update-desktop-database keeps, through which GIO finds
        // the applications for a type.
        test::WriteFile(data() / "applications" / "mimeinfo.cache",
                        std::string("[MIME Cache]\n") + kType + "=quilvane-test-opener.desktop;\n");
    }

    // Runs OpenDocument(`name`) in a child process on this desktop, after
    // `prepare` ran there, and returns its result.
    int open(const std::string& name, const std::function<void()>& prepare = {}) const {
        const pid_t child = fork();
        if (child == 0) {
            setenv("XDG_DATA_HOME", data().c_str(), 1);
            setenv("XDG_DATA_DIRS", system().c_str(), 1);
            setenv("XDG_CONFIG_HOME", config().c_str(), 1);
            setenv("XDG_CONFIG_DIRS", config().c_str(), 1);
            setenv("HOME", home().c_str(), 1);
            if (prepare) {
                prepare();
            }
            _exit(OpenDocument(name));
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Waits for the opener to write its marker, and returns what it wrote.
    std::string waitForMarker() const {
        for (int i = 0; i < 200 && !fs::exists(marker()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return fs::exists(marker()) ? test::ReadFile(marker()) : std::string("(no marker)");
    }

    path data() const { return dir_ / "data"; }
    path config() const { return dir_ / "config"; }
    path system() const { return dir_ / "system"; }
    path home() const { return dir_ / "home"; }
    path docs() const { return dir_ / "docs"; }
    path marker() const { return dir_ / "marker"; }

  private:
    test::TempDir dir_;
};

// Leaves root's rights behind, so that file permissions apply.
void DropRoot() {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
        _exit(99);
    }
}

TEST(OpenDocument, StartsTheAssociatedApplicationInTheHomeFolder) {
    Desktop desktop;
    desktop.addOpener();
    const path doc = desktop.docs() / "report one.qvtest";
    test::WriteFile(doc, "content");

    EXPECT_EQ(desktop.open(doc.string()), 42);
    EXPECT_EQ(desktop.waitForMarker(),
              fs::canonical(desktop.home()).string() + "\n" + doc.string() + "\n");
}

TEST(OpenDocument, PathReachesTheApplicationByteForByte) {
    Desktop desktop;
    desktop.addOpener();
    const std::string name = std::string("caf\xE9, \"quoted\" it's.qvtest");
    test::WriteFile(desktop.docs() / name, "content");

    // Relative to the current folder, in which the child starts.
    const path docs = desktop.docs();
    EXPECT_EQ(desktop.open(name,
                           [&docs] {
                               if (chdir(docs.c_str()) != 0) {
                                   _exit(98);
                               }
                           }),
              42);
    EXPECT_EQ(desktop.waitForMarker(), fs::canonical(desktop.home()).string() + "\n" +
                                           fs::canonical(docs).string() + "/" + name + "\n");
}

TEST(OpenDocument, MissingFileOrFolder) {
    Desktop desktop;
    desktop.addOpener();
    test::WriteFile(desktop.docs() / "plain.qvtest", "x");

    EXPECT_EQ(desktop.open((desktop.docs() / "absent.qvtest").string()), 2);
    EXPECT_EQ(desktop.open(""), 2);
    EXPECT_EQ(desktop.open((desktop.docs() / "no such folder" / "a.qvtest").string()), 3);
    // A file where a folder should be.
    EXPECT_EQ(desktop.open((desktop.docs() / "plain.qvtest" / "a.qvtest").string()), 3);
    EXPECT_FALSE(fs::exists(desktop.marker()));
}

TEST(OpenDocument, PermissionRefused) {
    Desktop desktop;
    desktop.addOpener();
    const path doc = desktop.docs() / "secret.qvtest";
    test::WriteFile(doc, "x");
    fs::permissions(doc, fs::perms::none);
    EXPECT_EQ(desktop.open(doc.string(), DropRoot), 5);

    const path closed = desktop.docs() / "closed";
    fs::create_directories(closed);
    test::WriteFile(closed / "inside.qvtest", "x");
    fs::permissions(closed, fs::perms::none);
    EXPECT_EQ(desktop.open((closed / "inside.qvtest").string(), DropRoot), 5);
    EXPECT_FALSE(fs::exists(desktop.marker()));
}

TEST(OpenDocument, NoApplicationForTheType) {
    Desktop desktop;  // no application at all
    const path doc = desktop.docs() / "report.qvtest";
    test::WriteFile(doc, "content");
    EXPECT_EQ(desktop.open(doc.string()), 31);

    const path unknown = desktop.docs() / "blob";
    test::WriteFile(unknown, std::string("\x01\x02\x00\xff", 4));
    EXPECT_EQ(desktop.open(unknown.string()), 31);

    // The opener handles only its own type.
    desktop.addOpener();
    EXPECT_EQ(desktop.open(unknown.string()), 31);
    EXPECT_FALSE(fs::exists(desktop.marker()));
}

}  // namespace
}  // namespace quilvane
