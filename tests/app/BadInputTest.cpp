// The catalogue of bad inputs: the built program in the terminal, given files
// that are broken, hostile, or no files at all. Each ends in time with its
// exit status and its one message, and the folder it ran in keeps every file
// as it was (only the documents of the rows that verify are added).

#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "app/AppTestSupport.h"
#include "support/SharedPki.h"

namespace quilvane::test {
namespace {

// Every entry under `folder`, symbolic links not followed: its type, size,
// modification time and, for a small file, a hash of its bytes.
void Snapshot(const fs::path& folder, const fs::path& top,
              std::map<std::string, std::string>& out) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        struct stat info {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0) << entry.path();
        std::string state = std::to_string(info.st_mode) + " " + std::to_string(info.st_size) +
                            " " + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec);
        if (S_ISREG(info.st_mode) && info.st_size <= (1 << 20)) {
            state += " " + std::to_string(std::hash<std::string>{}(ReadFile(entry.path())));
        }
        out[entry.path().lexically_relative(top).string()] = state;
        if (S_ISDIR(info.st_mode)) {
            Snapshot(entry.path(), top, out);
        }
    }
}

std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    Snapshot(folder, folder, entries);
    return entries;
}

struct Row {
    std::string name;   // the file given to the program, in the folder
    std::string setup;  // shell: makes it in the folder as "$N" from the files in "$F"
    std::string letter;
    int status;
    std::string pattern;      // over standard output and standard error
    std::string prefix = {};  // before the program: variables, or becoming another user
    std::vector<std::string> writes = {};
};

const std::string kNotSigned = "The file is not a signed message, or it is damaged or incomplete";
const std::string kRefused = "CAPICOM error found: " + kNotSigned;
const std::string kVerified = "*Verification complete. Document is untampered.*";
const std::string kCopy = "cp -- \"$F/good.sig\" \"$N\"";
// With all of "$T" readable by others.
const std::string kNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups";

TEST(BadInput, EachEndsWithItsStatusAndMessageAndChangesNoFile) {
    const char* binary = std::getenv("QUILVANE_BINARY");
    ASSERT_NE(binary, nullptr) << "QUILVANE_BINARY names the built program";
    TempDir t;
    const fs::path work = t / "work";
    StoreHome store(t / "data");
    SharedPki& pki = SharedPki::get();
    store.add({pki.alice.cert, pki.alice.key});
    fs::copy_file(pki.pki.root().cert, store.root() / "root.pem");
    fs::create_directories(t / "f");
    fs::create_directories(t / "empty");
    const std::string sign = "openssl cms -sign -in doc.txt -binary -signer " +
                             Quote(pki.alice.cert.string()) + " -inkey " +
                             Quote(pki.alice.key.string());
    test::Run("cd " + Quote((t / "f").string()) + " && printf 'A document.\\n' >doc.txt && " +
              sign + " -nodetach -outform DER -out good.sig && " + sign +
              " -nodetach -outform DER -stream -out ber.sig && " + sign +
              " -nodetach -outform PEM -out pem.sig && " + sign +
              " -nodetach -nocerts -outform DER -out nocerts.sig && " + sign +
              " -outform DER -out detached.sig && openssl cms -encrypt -in doc.txt -binary -aes256 "
              "-outform DER -out enveloped.sig " +
              Quote(pki.alice.cert.string()) +
              " && openssl crl2pkcs7 -nocrl -outform DER -certfile " +
              Quote(pki.alice.cert.string()) + " -out nosigners.sig");
    const std::string readOnly = "chmod -R a+rX \"$T\" && " + kCopy + " && chmod 555 .";

    const std::vector<Row> rows = {
        {"good.sig", kCopy, "v", 0, kVerified + "location:\ngood\n*", "", {"good"}},
        {"e.sig", ": >\"$N\"", "v", 1, kRefused + ": it is empty.\n"},
        {"r.sig",
         "head -c 4096 /dev/zero | openssl enc -aes-128-ctr -K " + std::string(32, '0') + " -iv " +
             std::string(32, '0') + " >\"$N\"",
         "v", 1, kRefused + "*"},
        {"c.sig", "head -c 1 \"$F/good.sig\" >\"$N\"", "v", 1, kRefused + "*"},
        {"c.sig", "head -c 2 \"$F/good.sig\" >\"$N\"", "v", 1, kRefused + "*"},
        {"c.sig", "head -c 40 \"$F/good.sig\" >\"$N\"", "v", 1, kRefused + "*"},
        {"c.sig", "head -c 700 \"$F/good.sig\" >\"$N\"", "v", 1, kRefused + "*"},
        {"c.sig", "head -c -1 \"$F/good.sig\" >\"$N\"", "v", 1, kRefused + "*"},
        {"l.sig", "printf '\\060\\204\\377\\377\\377\\377' >\"$N\"", "v", 1, kRefused + "*"},
        {"l.sig", "printf '\\060\\210\\177\\377\\377\\377\\377\\377\\377\\377\\6\\11' >\"$N\"", "v",
         1, kRefused + "*"},
        {"n.sig", "printf '\\060\\200%.0s' $(seq 10000) >\"$N\"", "v", 1, kRefused + "*"},
        {"cert.pem", "cp " + Quote(pki.alice.cert.string()) + " \"$N\"", "v", 1, kRefused + "*"},
        {"cert.der",
         "openssl x509 -outform DER -in " + Quote(pki.alice.cert.string()) + " -out \"$N\"", "v", 1,
         kRefused + "*"},
        {"d.sig", "cp \"$F/detached.sig\" \"$N\"", "v", 1,
         kRefused + ": the document is not inside it.\n"},
        {"x.sig", "cp \"$F/enveloped.sig\" \"$N\"", "v", 1,
         kRefused + ": it is an encrypted message.\n"},
        {"s.sig", "cp \"$F/nosigners.sig\" \"$N\"", "v", 1, kRefused + ": *"},
        {"s.sig", "cp \"$F/nocerts.sig\" \"$N\"", "v", 1,
         "CAPICOM error found: The certificate of signer 1 (*) is not in the file, so that "
         "signature cannot be checked.\n"},
        {"t.sig", kCopy + " && printf junk >>\"$N\"", "v", 1,
         kRefused + ": there is more data after the end of the message.\n"},
        {"p.sig", "cp \"$F/pem.sig\" \"$N\"", "v", 0, kVerified + "location:\np\n*", "", {"p"}},
        {"b.sig",
         "base64 \"$F/good.sig\" >\"$N\"",
         "v",
         0,
         kVerified + "location:\nb\n*",
         "",
         {"b"}},
        {"ber.sig",
         "cp \"$F/ber.sig\" \"$N\"",
         "v",
         0,
         kVerified + "location:\nber\n*",
         "",
         {"ber"}},
        {"f.sig", "mkdir \"$N\"", "v", 1,
         "VB Error found: Cannot read \"f.sig\": Is a directory.\n"},
        {"q.sig", "mkfifo \"$N\"", "v", 1,
         "VB Error found: Cannot read \"q.sig\": it is not a regular file.\n"},
        {"/dev/null", "", "v", 1,
         "VB Error found: Cannot read \"/dev/null\": it is not a regular*"},
        {"/dev/zero", "", "v", 1,
         "VB Error found: Cannot read \"/dev/zero\": it is not a regular*"},
        {"loop", "ln -s loop2 loop && ln -s loop loop2", "v", 1,
         "VB Error found: Cannot open \"loop\": Too many levels of symbolic links.\n"},
        {"big.sig", "truncate -s 3G \"$N\"", "v", 1, kRefused + "*"},
        {"absent.sig", "", "v", 1, "VB Error found: Cannot open \"absent.sig\": No such file*"},
        // A document that cannot take the place of what is there.
        {"o.sig", kCopy + " && mkfifo o", "v", 1,
         kVerified + "VB Error found: Cannot write \"o\": it is not a regular file.\n"},
        {"o.sig", kCopy + " && mkdir o", "v", 1,
         kVerified + "VB Error found: Cannot write \"o\": Is a directory.\n"},
        // Paths the user nobody may not read or write.
        {"u.sig", kCopy + " && chmod -R a+rX \"$T\" && chmod 600 \"$N\"", "v", 1,
         "VB Error found: Cannot open \"u.sig\": Permission denied.\n", kNobody},
        {"locked/u.sig", "chmod -R a+rX \"$T\" && mkdir -m 700 locked && cp \"$F/good.sig\" \"$N\"",
         "v", 1, "VB Error found: Cannot open \"locked/u.sig\": Permission denied.\n", kNobody},
        {"w.sig", readOnly, "v", 1, kVerified + "VB Error found: Cannot write \"w\": Permission*",
         kNobody},
        {"w.sig", readOnly, "s", 1,
         "*Certificate number*VB Error found:Cannot write \"w.sig.sig\": Permission*", kNobody},
        {"w.sig", readOnly, "c", 1,
         kVerified + "Certificate number*VB Error found:Cannot write \"w.sig\": Permission*",
         kNobody},
        // Odd names, passed on byte for byte.
        {"new\nline.sig", kCopy, "v", 0, kVerified + "location:\nnew\nline\n*", "", {"new\nline"}},
        {"a'b\"c.sig", kCopy, "v", 0, kVerified + "location:\na'b\"c\n*", "", {"a'b\"c"}},
        {"-x.sig", kCopy, "v", 0, kVerified + "location:\n-x\n*", "", {"-x"}},
        {"caf\xE9.sig", kCopy, "v", 0, kVerified + "location:\ncaf\xE9\n*", "", {"caf\xE9"}},
        {"abcd", kCopy, "v", 1, kVerified + "VB Error found: Cannot name the document to write from \"abcd\"*"},
        {"--x.sig", kCopy, "v", 2, "Unknown option \"--x.sig\".\nUsage: quilvane *"},
        // Signing and co-signing what cannot be.
        {"doc.txt", "cp \"$F/doc.txt\" \"$N\"", "s", 1,
         "You have no certificate to sign with yet.*quilvane --create-certificate\n",
         "XDG_DATA_HOME=\"$T/empty\""},
        {"doc.txt", "cp \"$F/doc.txt\" \"$N\"", "c", 1,
         "CAPICOM error found : " + kNotSigned + "*"},
        {"q", "mkfifo \"$N\"", "s", 1,
         "VB Error found:Cannot read \"q\": it is not a regular file.\n"},
        {"q.sig", "mkfifo \"$N\"", "c", 1,
         "VB Error found:Cannot read \"q.sig\": it is not a regular file.\n"},
        {"/dev/zero", "", "s", 1, "VB Error found:Cannot read \"/dev/zero\": it is not a regular*"},
        {"good.sig", kCopy, "x", 2, ""},
    };
    const std::string shell = "T=" + Quote(t.path().string()) + " F=\"$T/f\"; cd \"$T/work\" && ";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + " " + row.letter + ": " + row.setup);
        if (row.prefix == kNobody && ::geteuid() != 0) {
            continue;  // only root can become nobody
        }
        fs::remove_all(work);
        fs::create_directories(work);
        test::Run(shell + "N=" + Quote(row.name) + " && " + (row.setup.empty() ? ":" : row.setup));
        const auto before = Snapshot(work);
        WriteFile(t / "in", row.letter == "v" ? "n\n" : "1\n");
        const int status =
            RunStatus(shell + "timeout -k 5 20 env -u DISPLAY -u WAYLAND_DISPLAY " + row.prefix +
                      " setsid -w " + Quote(binary) + " " + Quote(row.name) + " " + row.letter +
                      " <\"$T/in\" >\"$T/out\" 2>\"$T/err\"");
        EXPECT_EQ(status, row.status);
        EXPECT_PRED2(Like, ReadFile(t / "out") + ReadFile(t / "err"), row.pattern);
        auto after = Snapshot(work);
        for (const std::string& written : row.writes) {
            EXPECT_EQ(after.erase(written), 1u) << written << " was not written";
        }
        EXPECT_EQ(after, before);
    }
}

}  // namespace
}  // namespace quilvane::test
