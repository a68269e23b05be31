// Whole files, and the names derived from a path.

#include "operations/Files.h"

#include <cerrno>
#include <string>

#include "crypto/Error.h"
#include "crypto/SafeText.h"
#include "crypto/Text.h"

namespace quilvane {
namespace {

// Largest file held whole in memory: the message formats of the crypto layer
// count lengths in signed 32 bits. Nothing larger is written either, since it
// could not be read back.
constexpr std::uint64_t kMaxFileSize = 0x7FFFFFFF;

}  // namespace

Bytes LoadBinFile(const std::string& path) {
    FileSource source(path);
    if (*source.Size() > kMaxFileSize) {
        throw Error(EFBIG,
                    Format(Tr("Cannot read \"%1\": the file is 2 GiB or larger, more than can "
                              "be handled."),
                           ShownPath(path)));
    }
    Bytes buffer(static_cast<std::size_t>(*source.Size()));
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t n = source.Read({buffer.data() + done, buffer.size() - done});
        if (n == 0) {
            break;  // the file shrank while we read it: keep what is there
        }
        done += n;
    }
    buffer.shrink(done);
    return buffer;
}

std::string SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& path,
                        Backup backup) {
    if (bytes.size() > kMaxFileSize) {
        throw Error(EFBIG,
                    Format(Tr("Cannot write \"%1\": the file would be 2 GiB or larger, more than "
                              "can be read back."),
                           ShownPath(path)));
    }
    FileSink sink(path, backup);
    sink.Write(bytes);
    return sink.Commit();
}

std::string ShownPath(const std::string& path) {
    return SafeText(path, std::string::npos);
}

std::string DropLastFourCharacters(const std::string& path) {
    std::size_t end = path.size();
    for (int dropped = 0; dropped < 4; ++dropped) {
        if (end == 0) {
            throw Error(EINVAL, Format(Tr("Cannot name the document to write from \"%1\": the name "
                                          "is shorter than four characters."),
                                       ShownPath(path)));
        }
        --end;
        // Step back over the continuation bytes of a UTF-8 character.
        std::size_t start = end;
        while (start > 0 && (static_cast<unsigned char>(path[start]) & 0xC0) == 0x80) {
            --start;
        }
        unsigned char lead = static_cast<unsigned char>(path[start]);
        std::size_t length = lead < 0x80    ? 1
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 0;
        if (length == end - start + 1) {
            end = start;
        }
    }
    return path.substr(0, end);
}

}  // namespace quilvane
