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
    EXPECT_EQ(ErrorNumberOf([&] { LoadBinFile(dir.path().string()); }), EISDIR);
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
    EXPECT_EQ(ReadFile(target), std::string(1000, 'k'));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);

    // A missing folder, a folder in the way, no name at all.
    EXPECT_EQ(ErrorNumberOf([&] { SaveBinFile(Span(big), (dir / "no" / "out").string()); }),
              ENOENT);
    EXPECT_EQ(ErrorNumberOf([&] { SaveBinFile(Span(big), dir.path().string()); }), EISDIR);
    EXPECT_GT(ErrorNumberOf([&] { SaveBinFile(Span(big), ""); }), 0);
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
