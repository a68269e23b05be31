#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "OperationsTest.h"

namespace quilvane::test {

// The error number `action` raises (0 for none); its description into `description`.
int ErrorNumberOf(const std::function<void()>& action, std::string* description = nullptr) {
    const auto [number, text] = Raised(action);
    if (description != nullptr) {
        *description = text;
    }
    return number;
}

std::span<const std::uint8_t> Span(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(WholeFiles, CopiesAreByteForByteAndReplaceWholeFiles) {
    TempDir dir;
    for (const std::string& content : {"\0\x01\r\n\x7f\x80\xfe\xff tail\r"s, ""s}) {
        WriteFile(dir / "in", content);
        // Through the service's string form and back, as the operations do.
        BinaryString text = Utilities::ByteArrayToBinaryString(LoadBinFile((dir / "in").string()));
        EXPECT_EQ(text.size(), content.size());
        ByteBuffer back = Utilities::BinaryStringToByteArray(std::move(text));
        SaveBinFile(back.view(), (dir / "out").string());
        EXPECT_EQ(ReadFile(dir / "out"), content);
    }
    // A shorter file replaces a longer one whole, and keeps its permissions.
    WriteFile(dir / "out", std::string(100, 'o'));
    fs::permissions(dir / "out", fs::perms(0640));
    SaveBinFile(Span("0123456789"), (dir / "out").string());
    EXPECT_EQ(ReadFile(dir / "out"), "0123456789");
    EXPECT_EQ(fs::status(dir / "out").permissions(), fs::perms(0640));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);
}

TEST(WholeFiles, LoadingRefusesWhatIsNotAReadableFileAndCreatesNothing) {
    TempDir dir;
    std::string description;
    std::string missing = (dir / "missing.pdf").string();
    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile(missing); }, &description), ENOENT);
    EXPECT_NE(description.find(missing), std::string::npos) << description;
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile((dir / "no" / "such.pdf").string()); }), ENOENT);
    EXPECT_GT(ErrorNumberOf([&] { LoadBinFile(""); }), 0);

    // 2 GiB is refused before anything is read (a sparse file costs nothing).
    fs::path huge = dir / "huge";
    WriteFile(huge, "");
    fs::resize_file(huge, 0x80000000ull);
    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile(huge.string()); }, &description), EFBIG);
    EXPECT_NE(description.find("2 GiB"), std::string::npos) << description;
}

TEST(WholeFiles, AFailedSaveLeavesTheOldFileWholeAndNoTemporaryFile) {
    TempDir dir;
    std::string target = (dir / "target").string();
    WriteFile(target, std::string(1000, 'k'));
    std::string big(200000, 'n');
    int number = 0;
    WithFileSizeLimit(50000,
                      [&] { number = ErrorNumberOf([&] { SaveBinFile(Span(big), target); }); });
    EXPECT_EQ(number, EFBIG);
    // More than could be read back is refused before anything is written (the
    // bytes are only reserved, never touched).
    const std::size_t tooBig = 0x80000000u;
    void* reserved =
        mmap(nullptr, tooBig, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    std::string description;
    EXPECT_EQ(ErrorNumberOf(
                  [&] {
                      SaveBinFile({static_cast<std::uint8_t*>(reserved), tooBig}, target);
                  },
                  &description),
              EFBIG);
    munmap(reserved, tooBig);
    EXPECT_NE(description.find("2 GiB"), std::string::npos) << description;
    EXPECT_EQ(ReadFile(target), std::string(1000, 'k'));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);

    // A missing folder, a dangling link into one, no name at all.
    fs::create_symlink("gone/out", dir / "nowhere");
    for (const fs::path& path : {dir / "no" / "out", dir / "nowhere"}) {
        EXPECT_EQ(ErrorNumberOf([&] { SaveBinFile(Span(big), path.string()); }), ENOENT) << path;
    }
    EXPECT_GT(ErrorNumberOf([&] { SaveBinFile(Span(big), ""); }), 0);
}

// Nothing but a regular file is read or replaced, and nothing waits for a
// FIFO's writer.
TEST(WholeFiles, WhatIsNotARegularFileIsRefusedAtOnce) {
    TempDir dir;
    const fs::path fifo = dir / "fifo", socket = dir / "socket", loop = dir / "loop";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket.string().copy(address.sun_path, sizeof address.sun_path - 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(listener);
    fs::create_symlink("loop", loop);
    // The path and the error that reading it and writing over it raise.
    using Case = std::pair<fs::path, int>;
    for (const auto& [path, err] :
         {Case{fifo, EINVAL}, Case{"/dev/null", EINVAL}, Case{socket, EINVAL},
          Case{dir.path(), EISDIR}, Case{loop, ELOOP}}) {
        for (bool save : {false, true}) {
            std::string description;
            EXPECT_EQ(
                ErrorNumberOf(
                    [&] { save ? (void)SaveBinFile(Span("x"), path) : (void)LoadBinFile(path); },
                    &description),
                err)
                << path << save;
            EXPECT_NE(description.find(path.string()), std::string::npos) << description;
        }
    }
    EXPECT_TRUE(fs::is_fifo(fifo) && fs::is_character_file("/dev/null"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 3);
}

TEST(WholeFiles, AReplacedFileWhoseBytesDifferIsKeptAsNameTilde) {
    TempDir dir;
    const std::string doc = (dir / "doc.txt").string(), kept = doc + "~";
    // The bytes written in turn, whether the file replaced is kept, and then
    // what doc.txt~ holds ("" for no such file).
    using Step = std::tuple<std::string, Backup, bool, std::string>;
    for (const auto& [bytes, backup, keeps, holds] : {
             Step{"one", Backup::Keep, false, ""},      // a new file
             Step{"one", Backup::Keep, false, ""},      // the same bytes
             Step{"two", Backup::Keep, true, "one"},    // the same size
             Step{"three", Backup::Keep, true, "two"},  // an older backup is replaced
             Step{"four", Backup::None, false, "two"},  // as a co-sign in place writes
         }) {
        EXPECT_EQ(SaveBinFile(Span(bytes), doc, backup), keeps ? kept : "") << bytes;
        EXPECT_EQ(ReadFile(doc), bytes);
        EXPECT_EQ(fs::exists(kept) ? ReadFile(kept) : "", holds) << bytes;
    }
    EXPECT_EQ(KeptNote(kept), "The earlier file was kept as \"" + kept + "\".");
    EXPECT_EQ(KeptNote(""), "");
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
    EXPECT_EQ(DropLastFourCharacters("contract.p7m"), "contract");
    EXPECT_EQ(DropLastFourCharacters("x.sig"), "x");
    EXPECT_EQ(DropLastFourCharacters("abcd"), "");
    // Characters, not bytes: "é" and "€" are one character each; bytes
    // that are not UTF-8 count one each.
    EXPECT_EQ(DropLastFourCharacters("r\xC3\xA9sum\xC3\xA9.\xE2\x82\xACxy"),
              "r\xC3\xA9sum\xC3\xA9");
    EXPECT_EQ(DropLastFourCharacters("a\xFF\xFE\xFD\xFC"), "a");
    EXPECT_EQ(ErrorNumberOf([] { DropLastFourCharacters("abc"); }), EINVAL);
}

}  // namespace quilvane::test
