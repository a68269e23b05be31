// The catalogue of bad inputs: the built program in the terminal, given files
// that are broken, hostile, or no files at all. Each ends in time with its
// exit status and its one message, and the folder it ran in keeps every file
// as it was (only the documents of the rows that verify are added).

#include <unistd.h>

#include "app/AppTestSupport.h"

namespace quilvane::test {
namespace {

struct Row {
    std::string name;   // the file given to the program, in the folder
    std::string setup;  // shell: makes it in the folder as "$N" from the files in "$F"
    std::string letter;
    int status;               // 0: a signature verified, whose document is written
    std::string pattern;      // over what RunProgram returns, before its exit status
    std::string prefix = {};  // before the program: variables, or becoming another user
};

// Messages on standard error, which RunProgram puts in brackets.
const std::string kRefused =
    "(CAPICOM error found: The file is not a signed message, or it is damaged or incomplete";
const std::string kError = "(VB Error found:";
const std::string kVerified = "*Verification complete. Document is untampered.*";
const std::string kCopy = "cp -- \"$F/good.sig\" \"$N\"";
// With all of "$T" readable by others.
const std::string kNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups";

std::string Wrote(const std::string& document) {
    return kVerified + "location:\n" + document + "\n*";
}

// Runs the rows that the user nobody runs (`asNobody`), or the others.
void RunRows(bool asNobody) {
    TempDir t;
    const fs::path work = t / "work";
    StoreHome store(t / "data");
    SharedPki& pki = SharedPki::get();
    store.add({pki.alice.cert, pki.alice.key});
    fs::copy_file(pki.pki.root().cert, store.root() / "root.pem");
    const fs::path f = t / "f", doc = f / "doc.txt";
    fs::create_directories(f);
    WriteFile(doc, "A document.\n");
    OpensslSign(doc, f / "good.sig", {pki.alice});
    OpensslSign(doc, f / "ber.sig", {pki.alice}, "-stream");
    OpensslSign(doc, f / "pem.sig", {pki.alice}, "-outform PEM");
    OpensslSign(doc, f / "nocerts.sig", {pki.alice}, "-nocerts");
    OpensslSign(doc, f / "md4.sig", {pki.alice}, "-md md4 -provider legacy -provider default");
    const std::string alice = Quote(pki.alice.cert.string());
    Openssl("cms -encrypt -binary -aes256 -outform DER -in", doc, "-out", f / "enveloped.sig",
            alice);
    Openssl("crl2pkcs7 -nocrl -outform DER -certfile", alice, "-out", f / "nosigners.sig");
    const std::string readOnly = "chmod -R a+rX \"$T\" && " + kCopy + " && chmod 555 .";

    const std::vector<Row> rows = {
        {"good.sig", kCopy, "v", 0, Wrote("good")},
        {"e.sig", ": >\"$N\"", "v", 1, kRefused + ": it is empty.\n"},
        {"r.sig",
         "head -c 4096 /dev/zero | openssl enc -aes-128-ctr -K " + std::string(32, '0') + " -iv " +
             std::string(32, '0') + " >\"$N\"",
         "v", 1, kRefused + "*"},
        // Cut in the first header, and among the certificates.
        {"c.sig", "head -c 1 \"$F/good.sig\" >\"$N\"", "v", 1, kRefused + "*"},
        {"c.sig", "head -c 40 \"$F/good.sig\" >\"$N\"", "v", 1, kRefused + "*"},
        // A length of 4 GiB in a file of six bytes; ten thousand nested indefinite lengths.
        {"l.sig", "printf '\\060\\204\\377\\377\\377\\377' >\"$N\"", "v", 1, kRefused + "*"},
        {"n.sig", "printf '\\060\\200%.0s' $(seq 10000) >\"$N\"", "v", 1, kRefused + "*"},
        {"cert.der", "openssl x509 -outform DER -in " + alice + " -out \"$N\"", "v", 1,
         kRefused + "*"},
        {"x.sig", "cp \"$F/enveloped.sig\" \"$N\"", "v", 1,
         kRefused + ": it is an encrypted message.\n"},
        {"k.sig", "cat " + alice + " \"$F/pem.sig\" >\"$N\"", "v", 1,
         kRefused + ": it is a certificate bundle.\n"},
        {"md4.sig", "cp \"$F/md4.sig\" \"$N\"", "v", 1,
         kRefused + ": it uses the digest algorithm MD4, which is not supported here.\n*"},
        {"s.sig", "cp \"$F/nosigners.sig\" \"$N\"", "v", 1, kRefused + ": *"},
        {"s.sig", "cp \"$F/nocerts.sig\" \"$N\"", "v", 1,
         "(CAPICOM error found: The certificate of signer 1 (*) is not in the file, so that "
         "signature cannot be checked.\n"},
        {"m.sig", "LC_ALL=C sed 's/A document/A Document/' \"$F/good.sig\" >\"$N\"", "v", 1,
         "(CAPICOM error found: The document was changed after it was signed.\n"},
        {"t.sig", kCopy + " && printf junk >>\"$N\"", "v", 1,
         kRefused + ": there is more data after the end of the message.\n"},
        {"ber.sig", "cp \"$F/ber.sig\" \"$N\"", "v", 0, Wrote("ber")},
        {"q.sig", "mkfifo \"$N\"", "v", 1,
         kError + " Cannot read \"q.sig\": it is not a regular file.\n"},
        {"/dev/zero", "", "v", 1, kError + " Cannot read \"/dev/zero\": it is not a regular*"},
        {"big.sig", "truncate -s 3G \"$N\"", "v", 1, kRefused + "*"},
        {"absent.sig", "", "v", 1, kError + " Cannot open \"absent.sig\": No such file*"},
        // A document that cannot take the place of what is there.
        {"o.sig", kCopy + " && mkfifo o", "v", 1,
         kVerified + kError + " Cannot write \"o\": it is not a regular file.\n"},
        // Paths the user nobody may not read or write.
        {"u.sig", kCopy + " && chmod -R a+rX \"$T\" && chmod 600 \"$N\"", "v", 1,
         kError + " Cannot open \"u.sig\": Permission denied.\n", kNobody},
        {"w.sig", readOnly, "v", 1, kVerified + kError + " Cannot write \"w\": Permission*",
         kNobody},
        {"w.sig", readOnly, "s", 1,
         "*Certificate number*" + kError + "Cannot write \"w.sig.sig\": Permission*", kNobody},
        {"w.sig", readOnly, "c", 1,
         kVerified + "Certificate number*" + kError + "Cannot write \"w.sig\": Permission*",
         kNobody},
        // Odd names, passed on byte for byte.
        {"new\nline.sig", kCopy, "v", 0, Wrote("new\\\\nline")},  // shown escaped
        {"-x.sig", kCopy, "v", 0, Wrote("-x")},
        {"caf\xE9.sig", kCopy, "v", 0, Wrote("caf\xEF\xBF\xBD")},  // not UTF-8: U+FFFD
        {"abcd", kCopy, "v", 1,
         kVerified + kError + " Cannot name the document to write from \"abcd\"*"},
        {"--x.sig", kCopy, "v", 2, "(Unknown option \"--x.sig\".\nUsage: quilvane *"},
        {"--timeout", "", "v", 2,
         "(The option \"--timeout\" needs a whole number of seconds above 0 after it.\n*"},
        // A settings file that says what cannot be used stops the run before any work.
        {"a.sig",
         kCopy + " && mkdir -p \"$T/conf/quilvane\" && printf '[network]\\ntimeout-seconds=soon' "
                 ">\"$T/conf/quilvane/quilvane.conf\"",
         "v", 2,
         "(Quilvane: */conf/quilvane/quilvane.conf, line 2: \"timeout-seconds\" is \"soon\", "
         "but must be a whole number of seconds above 0.\n",
         "XDG_CONFIG_HOME=" + Quote((t.path() / "conf").string())},
        // Signing what cannot be read.
        {"q", "mkfifo \"$N\"", "s", 1, kError + "Cannot read \"q\": it is not a regular file.\n"},
    };
    const std::string shell = "T=" + Quote(t.path().string()) + " F=\"$T/f\"; cd \"$T/work\" && ";
    for (const Row& row : rows) {
        if ((row.prefix == kNobody) != asNobody) {
            continue;
        }
        SCOPED_TRACE(row.name + " " + row.letter + ": " + row.setup);
        fs::remove_all(work);
        fs::create_directories(work);
        test::Run(shell + "N=" + Quote(row.name) + " && " + (row.setup.empty() ? ":" : row.setup));
        // Every entry in the folder but the document that a verified row writes,
        // symbolic links not followed: its type, mode, size, modification time and inode.
        const std::string document =
            row.status == 0 ? "./" + row.name.substr(0, row.name.size() - 4) : "";
        const std::string snapshot = shell + "LC_ALL=C find . -mindepth 1 ! -path " +
                                     Quote(document) + " -printf '%p %M %s %T@ %i\\n' | sort";
        const std::string before = test::Run(snapshot);
        EXPECT_PRED2(
            Like,
            RunProgram(work, row.name, row.letter, row.letter == "v" ? "n\n" : "1\n", row.prefix),
            row.pattern + "exit " + std::to_string(row.status) + ")");
        EXPECT_EQ(test::Run(snapshot), before);
        EXPECT_TRUE(document.empty() || fs::exists(work / document)) << "not written";
    }
}

TEST(BadInput, EachEndsWithItsStatusAndMessageAndChangesNoFile) {
    RunRows(false);
}

TEST(BadInput, PathsAnotherUserMayNotUseAreRefusedTheSameWay) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can run the program as the user nobody";
    }
    RunRows(true);
}

}  // namespace
}  // namespace quilvane::test
