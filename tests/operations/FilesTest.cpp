#include <sys/mman.h>
#include <sys/stat.h>

#include "OperationsTest.h"

namespace quilvane::test {

std::span<const std::uint8_t> Span(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(WholeFiles, LoadingRefusesNoNameAndWhatCouldNotBeHeld) {
    TempDir dir;
    EXPECT_GT(Raised([&] { LoadBinFile(""); }).first, 0);
    // 2 GiB is refused before anything is read (a sparse file costs nothing).
    fs::path huge = dir / "huge";
    WriteFile(huge, "");
    fs::resize_file(huge, 0x80000000ull);
    const auto [tooBig, why] = Raised([&] { LoadBinFile(huge.string()); });
    EXPECT_EQ(tooBig, EFBIG);
    EXPECT_NE(why.find("2 GiB"), std::string::npos) << why;
}

TEST(WholeFiles, AFailedSaveLeavesTheOldFileWholeAndNoTemporaryFile) {
    TempDir dir;
    std::string target = (dir / "target").string();
    WriteFile(target, std::string(1000, 'k'));
    std::string big(200000, 'n');
    int number = 0;
    WithFileSizeLimit(50000,
                      [&] { number = Raised([&] { SaveBinFile(Span(big), target); }).first; });
    EXPECT_EQ(number, EFBIG);
    // More than could be read back is refused before anything is written (the
    // bytes are only reserved, never touched).
    const std::size_t tooBig = 0x80000000u;
    void* reserved =
        mmap(nullptr, tooBig, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    const Raise raised = Raised([&] {
        SaveBinFile({static_cast<std::uint8_t*>(reserved), tooBig}, target);
    });
    munmap(reserved, tooBig);
    EXPECT_EQ(raised.first, EFBIG);
    EXPECT_NE(raised.second.find("2 GiB"), std::string::npos) << raised.second;
    EXPECT_EQ(ReadFile(target), std::string(1000, 'k'));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);

    // No name at all. (A missing folder: SignFileTest.)
    EXPECT_GT(Raised([&] { SaveBinFile(Span(big), ""); }).first, 0);
}

// Nothing but a regular file is read or replaced, and nothing waits for a
// FIFO's writer.
TEST(WholeFiles, WhatIsNotARegularFileIsRefusedAtOnce) {
    TempDir dir;
    const fs::path fifo = dir / "fifo", loop = dir / "loop";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("loop", loop);
    // The path and the error that reading it and writing over it raise.
    using Case = std::pair<fs::path, int>;
    for (const auto& [path, err] :
         {Case{fifo, EINVAL}, Case{dir.path(), EISDIR}, Case{loop, ELOOP}}) {
        for (bool save : {false, true}) {
            const auto [number, description] = Raised(
                [&] { save ? (void)SaveBinFile(Span("x"), path) : (void)LoadBinFile(path); });
            EXPECT_EQ(number, err) << path << save;
            EXPECT_NE(description.find(path.string()), std::string::npos) << description;
        }
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);
}

TEST(WholeFiles, AReplacedFileWhoseBytesDifferIsKeptAsNameTilde) {
    TempDir dir;
    const std::string doc = (dir / "doc.txt").string(), kept = doc + "~";
    // The bytes written in turn, whether the file replaced is kept, and then
    // what doc.txt~ holds ("" for no such file).
    using Step = std::tuple<std::string, Backup, bool, std::string>;
    for (const auto& [bytes, backup, keeps, holds] : {
             Step{"one", Backup::Keep, false, ""},      // a new file
             Step{"two", Backup::Keep, true, "one"},    // the same size
             Step{"three", Backup::Keep, true, "two"},  // an older backup is replaced
             Step{"four", Backup::None, false, "two"},  // as a co-sign in place writes
         }) {
        EXPECT_EQ(SaveBinFile(Span(bytes), doc, backup), keeps ? kept : "") << bytes;
        EXPECT_EQ(ReadFile(doc), bytes);
        EXPECT_EQ(fs::exists(kept) ? ReadFile(kept) : "", holds) << bytes;
    }
}

// A link is followed to its file, which keeps its owner (another user's, when
// root writes it), group and mode; a dangling link makes the file it names.
TEST(WholeFiles, WritingThroughALinkWritesItsFileAndKeepsItsOwnerAndMode) {
    TempDir dir;
    fs::create_directory(dir / "real");
    const fs::path file = dir / "real" / "a.sig", link = dir / "a.sig";
    WriteFile(file, "old");
    const bool root = geteuid() == 0;
    const uid_t owner = root ? 65534 : geteuid();  // nobody
    const gid_t group = root ? 65534 : getegid();
    ASSERT_EQ(chown(file.c_str(), owner, group), 0);
    fs::permissions(file, fs::perms(0640));
    fs::create_symlink("real/a.sig", link);
    fs::create_symlink("real/b.sig", dir / "b.sig");

    EXPECT_EQ(SaveBinFile(Span("new"), link.string(), Backup::Keep), file.string() + "~");
    SaveBinFile(Span("b"), (dir / "b.sig").string());
    EXPECT_EQ(ReadFile(file) + ReadFile(file.string() + "~") + ReadFile(dir / "real" / "b.sig"),
              "newoldb");
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(info.st_gid, group);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_TRUE(fs::is_symlink(link) && fs::is_symlink(dir / "b.sig"));
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
