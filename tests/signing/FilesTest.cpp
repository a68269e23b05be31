#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "crypto/Error.h"
#include "signing/Operations.h"
#include "support/TestPki.h"

namespace quilvane {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string AllByteValues() {
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 256; ++i) {
            bytes.push_back(static_cast<char>(i));
        }
    }
    return bytes + "\r\n\0tail\r" + std::string(1, '\0');
}

int ErrorNumberOf(const std::function<void()>& action, std::string* description = nullptr) {
    try {
        action();
    } catch (const Error& error) {
        if (description != nullptr) {
            *description = error.description();
        }
        return error.number();
    }
    return 0;
}

TEST(WholeFiles, CopyIsByteForByteForAnyContentAndOddLengths) {
    TempDir dir;
    for (const std::string& content : {AllByteValues(), std::string("x"), std::string(4097, 'a')}) {
        WriteFile(dir / "in", content);
        ByteBuffer buffer = LoadBinFile((dir / "in").string());
        ASSERT_EQ(buffer.size(), content.size());
        // Through the service's string form and back, as the operations do.
        BinaryString text = Utilities::ByteArrayToBinaryString(std::move(buffer));
        ByteBuffer back = Utilities::BinaryStringToByteArray(std::move(text));
        SaveBinFile(back.view(), (dir / "out").string());
        EXPECT_EQ(ReadFile(dir / "out"), content);
    }
}

TEST(WholeFiles, EmptyFilesStayEmpty) {
    TempDir dir;
    WriteFile(dir / "empty", "");
    ByteBuffer buffer = LoadBinFile((dir / "empty").string());
    EXPECT_TRUE(buffer.empty());
    BinaryString text = Utilities::ByteArrayToBinaryString(std::move(buffer));
    EXPECT_TRUE(text.empty());
    SaveBinFile(Utilities::BinaryStringToByteArray(std::move(text)).view(), (dir / "out").string());
    EXPECT_TRUE(std::filesystem::exists(dir / "out"));
    EXPECT_EQ(std::filesystem::file_size(dir / "out"), 0u);
}

TEST(WholeFiles, SavingReplacesALongerFileWholeAndKeepsItsMode) {
    TempDir dir;
    WriteFile(dir / "target", std::string(100, 'o'));
    std::filesystem::permissions(dir / "target", std::filesystem::perms(0640));
    std::string ten = "0123456789";
    SaveBinFile({reinterpret_cast<const std::uint8_t*>(ten.data()), ten.size()},
                (dir / "target").string());
    EXPECT_EQ(ReadFile(dir / "target"), ten);
    EXPECT_EQ(std::filesystem::status(dir / "target").permissions(), std::filesystem::perms(0640));
    // Nothing else is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(WholeFiles, LoadingRefusesWhatIsNotAReadableFileAndCreatesNothing) {
    TempDir dir;
    std::string description;
    std::string missing = (dir / "missing.pdf").string();
    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile(missing); }, &description), ENOENT);
    EXPECT_NE(description.find(missing), std::string::npos) << description;
    EXPECT_FALSE(std::filesystem::exists(missing));

    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile((dir / "no" / "such.pdf").string()); }), ENOENT);
    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile(dir.path().string()); }), EISDIR);
    EXPECT_GT(ErrorNumberOf([&] { LoadBinFile(""); }), 0);

    // 2 GiB is refused before anything is read (a sparse file costs nothing).
    std::filesystem::path huge = dir / "huge";
    WriteFile(huge, "");
    std::filesystem::resize_file(huge, 0x80000000ull);
    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile(huge.string()); }, &description), EFBIG);
    EXPECT_NE(description.find("2 GiB"), std::string::npos) << description;
}

TEST(WholeFiles, AFailedSaveLeavesTheOldFileWholeAndNoTemporaryFile) {
    TempDir dir;
    std::string old(1000, 'k');
    WriteFile(dir / "target", old);
    std::string big(200000, 'n');
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(big.data()),
                                        big.size());

    // A write that runs out of room part way (the file size limit stands in
    // for a full disk).
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 50000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int number = ErrorNumberOf([&] { SaveBinFile(bytes, (dir / "target").string()); });
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(number, EFBIG);
    EXPECT_EQ(ReadFile(dir / "target"), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    // A missing folder, and a folder in the way.
    EXPECT_EQ(ErrorNumberOf([&] { SaveBinFile(bytes, (dir / "no" / "out").string()); }), ENOENT);
    std::filesystem::create_directory(dir / "folder");
    EXPECT_EQ(ErrorNumberOf([&] { SaveBinFile(bytes, (dir / "folder").string()); }), EISDIR);
    EXPECT_GT(ErrorNumberOf([&] { SaveBinFile(bytes, ""); }), 0);
}

TEST(OutputNames, TheLastFourCharactersAreDropped) {
    EXPECT_EQ(DropLastFourCharacters("report.pdf.sig"), "report.pdf");
    EXPECT_EQ(DropLastFourCharacters("contract.p7m"), "contract");
    EXPECT_EQ(DropLastFourCharacters("data.bin"), "data");
    EXPECT_EQ(DropLastFourCharacters("x.sig"), "x");
    EXPECT_EQ(DropLastFourCharacters("abcd"), "");
    // Characters, not bytes: "é" and "€" are one character each.
    EXPECT_EQ(DropLastFourCharacters("r\xC3\xA9sum\xC3\xA9.\xE2\x82\xACxy"),
              "r\xC3\xA9sum\xC3\xA9");
    // Bytes that are not UTF-8 count one each.
    EXPECT_EQ(DropLastFourCharacters("a\xFF\xFE\xFD\xFC"), "a");
    EXPECT_EQ(ErrorNumberOf([] { DropLastFourCharacters("abc"); }), EINVAL);
    EXPECT_EQ(ErrorNumberOf([] { DropLastFourCharacters(""); }), EINVAL);
}

}  // namespace
}  // namespace quilvane
