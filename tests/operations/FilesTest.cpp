#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "OperationsTest.h"

namespace quilvane::test {

std::span<const std::uint8_t> Span(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(WholeFiles, WhatCouldNotBeHeldIsRefusedAndAFailedSaveLeavesTheOldFileWhole) {
    TempDir dir;
    const std::string target = (dir / "target").string(), big(200000, 'n');
    WriteFile(target, std::string(1000, 'k'));
    int number = 0;
    WithFileSizeLimit(50000,
                      [&] { number = Raised([&] { SaveBinFile(Span(big), target); }).first; });
    EXPECT_EQ(number, EFBIG);
    // 2 GiB is refused before anything is read or written: the file is
    // sparse, the bytes only reserved, never touched.
    const std::size_t tooBig = 0x80000000u;
    WriteFile(dir / "huge", "");
    fs::resize_file(dir / "huge", tooBig);
    void* reserved =
        mmap(nullptr, tooBig, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    for (const Raise& raised :
         {Raised([&] { LoadBinFile(dir / "huge"); }), Raised([&] {
              SaveBinFile({static_cast<std::uint8_t*>(reserved), tooBig}, target);
          })}) {
        EXPECT_EQ(raised.first, EFBIG);
        EXPECT_NE(raised.second.find("2 GiB"), std::string::npos) << raised.second;
    }
    munmap(reserved, tooBig);
    fs::remove(dir / "huge");
    EXPECT_EQ(ReadFile(target), std::string(1000, 'k'));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
    // No name at all. (A missing folder: SignFileTest.)
    EXPECT_GT(Raised([&] { SaveBinFile(Span(big), ""); }).first, 0);
    EXPECT_GT(Raised([&] { LoadBinFile(""); }).first, 0);
}

// Nothing but a regular file is read or replaced (FIFOs and devices: the
// bad-input catalogue). A link loop cannot be read; where a file is written,
// the loop is only a link, kept aside like any other.
TEST(WholeFiles, WhatIsNotARegularFileIsRefusedAtOnce) {
    TempDir dir;
    const fs::path loop = dir / "loop";
    fs::create_symlink("loop", loop);
    // The path and the errors that reading it and writing over it raise.
    using Case = std::tuple<fs::path, int, int>;
    for (const auto& [path, load, save] :
         {Case{dir.path(), EISDIR, EISDIR}, Case{loop, ELOOP, 0}}) {
        const auto [number, description] = Raised([&] { LoadBinFile(path); });
        EXPECT_EQ(number, load) << path;
        EXPECT_NE(description.find(path.string()), std::string::npos) << description;
        EXPECT_EQ(Raised([&] { SaveBinFile(Span("x"), path); }).first, save) << path;
    }
    EXPECT_EQ(ReadFile(loop), "x");
    EXPECT_TRUE(fs::is_symlink(dir / "loop~"));
}

TEST(WholeFiles, AReplacedFileWhoseBytesDifferIsKeptAsNameTilde) {
    TempDir dir;
    const std::string doc = (dir / "doc.txt").string(), kept = doc + "~";
    const std::string note = "The earlier file was kept as \"" + kept + "\".";
    // The bytes written in turn, whether the file replaced is kept, and then
    // what doc.txt~ holds ("" for no such file).
    using Step = std::tuple<std::string, Backup, bool, std::string>;
    for (const auto& [bytes, backup, keeps, holds] : {
             Step{"one", Backup::Keep, false, ""},      // a new file
             Step{"two", Backup::Keep, true, "one"},    // the same size
             Step{"three", Backup::Keep, true, "two"},  // an older backup is replaced
             Step{"four", Backup::None, false, "two"},  // as a co-sign in place writes
         }) {
        EXPECT_EQ(SaveBinFile(Span(bytes), doc, backup), keeps ? note : "") << bytes;
        EXPECT_EQ(ReadFile(doc), bytes);
        EXPECT_EQ(fs::exists(kept) ? ReadFile(kept) : "", holds) << bytes;
    }
}

// A file replaced by the same bytes is left as it was (its inode, its time);
// whatever else happens to the bytes (written in pieces, patched, copied in
// by the kernel), the new file holds them, and the old one is kept.
TEST(WholeFiles, TheSameBytesLeaveTheFileAsItWasAndAnyDifferenceWritesIt) {
    TempDir dir;
    const std::string old(3 << 19, 'x');  // over a megabyte: compared in runs
    const fs::path path = dir / "doc.bin", source = dir / "source";
    WriteFile(source, "yyyy");
    const int from = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(from, 0);
    // The pieces written: "=" the old file's next bytes, "d" a different
    // byte, "p" a patch of the first byte, "c" four bytes copied by the kernel.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"=" + std::to_string(old.size())}, old},
        {{"=100", "=" + std::to_string(old.size() - 100)}, old},
        {{"=" + std::to_string(old.size() - 1)}, old.substr(0, old.size() - 1)},
        {{"=" + std::to_string(old.size()), "d"}, old + "d"},
        {{"=1000", "d", "=5"}, old.substr(0, 1000) + "d" + old.substr(1001, 5)},
        {{"=10", "p"}, "p" + old.substr(1, 9)},
        {{"=10", "c"}, old.substr(0, 10) + "yyyy"},
    };
    for (const auto& [pieces, expected] : cases) {
        SCOPED_TRACE(pieces.front() + " " + pieces.back());
        WriteFile(path, old);
        fs::remove(path.string() + "~");
        struct stat before {};
        ASSERT_EQ(::stat(path.c_str(), &before), 0);
        FileSink sink(path.string(), Backup::Keep);
        std::size_t at = 0;
        for (const std::string& piece : pieces) {
            if (piece[0] == '=') {
                const std::size_t n = std::stoul(piece.substr(1));
                sink.Write(Span(old.substr(at, n)));
                at += n;
            } else if (piece == "d") {
                sink.Write(Span("d"));
                ++at;
            } else if (piece == "p") {
                sink.WriteAt(0, Span("p"));
            } else {
                ASSERT_TRUE(sink.CopyFrom(from, 0, 4));
            }
        }
        const bool same = expected == old;
        EXPECT_EQ(sink.Commit(),
                  same ? "" : "The earlier file was kept as \"" + path.string() + "~\".");
        EXPECT_EQ(ReadFile(path), expected);
        struct stat after {};
        ASSERT_EQ(::stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino == before.st_ino, same);
        EXPECT_EQ(fs::exists(path.string() + "~"), !same);
    }
    ::close(from);

    // Another program writes to the old file while its start is still
    // compared: the new file is not made from it.
    WriteFile(path, old);
    FileSink sink(path.string(), Backup::Keep);
    sink.Write(Span(old.substr(0, 10)));
    WriteFile(path, "changed");
    EXPECT_EQ(Raised([&] { sink.Write(Span("d")); }).first, EBUSY);
    EXPECT_EQ(ReadFile(path), "changed");
}

// A name Quilvane derives (the .sig, the extracted document, NAME~) never
// writes through a link, whatever it leads to: the link is kept aside, a
// dangling one creates nothing, and one at NAME~ is replaced.
TEST(WholeFiles, ADerivedNameNeverWritesThroughALink) {
    TempDir dir;
    fs::create_directory(dir / "home");
    WriteFile(dir / "home" / ".bashrc", "mine");
    WriteFile(dir / "home" / "victim", "victim");
    fs::create_symlink("home/.bashrc", dir / "contract.pdf");
    fs::create_symlink("home/autostart.desktop", dir / "dangling.pdf");
    WriteFile(dir / "c.txt", "one");
    fs::create_symlink("home/victim", dir / "c.txt~");
    for (const char* name : {"contract.pdf", "dangling.pdf"}) {
        const std::string path = (dir / name).string();
        EXPECT_EQ(SaveBinFile(Span("signer's bytes"), path, Backup::Keep),
                  "\"" + path + "\" was a link; the link was kept as \"" + path +
                      "~\", and a new file was written in its place.");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_EQ(ReadFile(path), "signer's bytes");
        EXPECT_TRUE(fs::is_symlink(path + "~"));
    }
    SaveBinFile(Span("two"), (dir / "c.txt").string(), Backup::Keep);
    EXPECT_EQ(ReadFile(dir / "c.txt~"), "one");
    EXPECT_EQ(ReadFile(dir / "home" / ".bashrc") + ReadFile(dir / "home" / "victim"), "minevictim");
    EXPECT_FALSE(fs::exists(dir / "home" / "autostart.desktop"));
}

// The file the person named (a signed file co-signed in place) follows its
// link, keeps its owner, group and mode but no set-user-ID bit; a dangling link
// creates nothing.
TEST(WholeFiles, TheNamedFileFollowsItsLinkAndKeepsItsOwnerButNoSpecialBits) {
    TempDir dir;
    fs::create_directory(dir / "real");
    const fs::path file = dir / "real" / "a.sig", link = dir / "a.sig";
    WriteFile(file, "old");
    const bool root = geteuid() == 0;
    const uid_t owner = root ? 65534 : geteuid();  // nobody
    const gid_t group = root ? 65534 : getegid();
    ASSERT_EQ(chown(file.c_str(), owner, group), 0);
    ASSERT_EQ(chmod(file.c_str(), 04750), 0);
    fs::create_symlink("real/a.sig", link);
    fs::create_symlink("real/b.sig", dir / "b.sig");

    FileSink sink(link.string(), Backup::Keep, Links::Follow);
    sink.Write(Span("new"));
    EXPECT_EQ(sink.Commit(), "The earlier file was kept as \"" + file.string() + "~\".");
    EXPECT_EQ(ReadFile(file) + ReadFile(file.string() + "~"), "newold");
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(info.st_gid, group);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Raised([&] { FileSink(dir / "b.sig", Backup::None, Links::Follow); }).first, ENOENT);
    EXPECT_FALSE(fs::exists(dir / "real" / "b.sig"));
}

// In a world-writable sticky folder, a link or a file that another user put
// there is neither followed nor written over, as the kernel's protected_symlinks
// and protected_regular rules say, even where the machine turns them off.
TEST(WholeFiles, ALinkOrFileAnotherUserPutInASharedFolderIsNotWritten) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to make files that belong to another user";
    }
    TempDir dir;
    const fs::path sticky = dir / "sticky", victim = dir / "victim";
    fs::create_directories(victim);
    fs::create_directory(sticky);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    WriteFile(victim / "tool", "root's program");
    ASSERT_EQ(chmod((victim / "tool").c_str(), 04755), 0);
    fs::create_symlink(victim / "tool", sticky / "doc.txt");
    WriteFile(sticky / "theirs.txt", "theirs");
    for (const char* name : {"doc.txt", "theirs.txt"}) {
        ASSERT_EQ(lchown((sticky / name).c_str(), 65534, 65534), 0);
    }
    using Case = std::pair<const char*, Links>;
    for (const auto& [name, links] :
         {Case{"doc.txt", Links::Follow}, Case{"doc.txt", Links::Replace},
          Case{"theirs.txt", Links::Replace}}) {
        const auto [number, description] = Raised([&] {
            FileSink sink((sticky / name).string(), Backup::Keep, links);
            sink.Write(Span("attacker's document"));
            sink.Commit();
        });
        EXPECT_EQ(number, EACCES) << name;
        EXPECT_PRED2(Like, description, "Cannot write \"*" + std::string(name) + "\": it is *");
    }
    EXPECT_EQ(ReadFile(victim / "tool") + ReadFile(sticky / "theirs.txt"), "root's programtheirs");
    EXPECT_EQ(fs::status(victim / "tool").permissions(), fs::perms(04755));
    EXPECT_EQ(std::distance(fs::directory_iterator(sticky), {}), 2);
}

TEST(OutputNames, TheLastFourCharactersAreDropped) {
    EXPECT_EQ(DropLastFourCharacters("report.pdf.sig"), "report.pdf");
    EXPECT_EQ(DropLastFourCharacters("abcd"), "");
    // Characters, not bytes: "é" and "€" are one character each; bytes
    // that are not UTF-8 count one each.
    EXPECT_EQ(DropLastFourCharacters("r\xC3\xA9sum\xC3\xA9.\xE2\x82\xACxy"),
              "r\xC3\xA9sum\xC3\xA9");
    EXPECT_EQ(DropLastFourCharacters("a\xFF\xFE\xFD\xFC"), "a");
    EXPECT_EQ(Raised([] { DropLastFourCharacters("abc"); }).first, EINVAL);
}

}  // namespace quilvane::test
