#include "internal/MimeHeaders.h"

#include <algorithm>

#include "crypto/SafeText.h"
#include "crypto/Text.h"
#include "internal/SignedDataImpl.h"

namespace quilvane::streaming::mime {

using signed_data::NotSigned;

bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(static_cast<std::uint8_t>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsSpace(static_cast<std::uint8_t>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
    return out;
}

std::string_view View(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

namespace {

// "Name:" at the start of `line`, as a mail's header field begins.
bool IsField(std::string_view line) {
    std::size_t colon = line.find(':');
    return colon != std::string_view::npos && colon > 0 &&
           std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) { return c > ' ' && c < 0x7F; });
}

}  // namespace

std::size_t HeaderEnd(std::string_view text) {
    for (std::size_t at = 0;;) {
        std::size_t feed = text.find('\n', at);
        std::string_view line = text.substr(at, feed == std::string_view::npos ? feed : feed - at);
        if (feed == std::string_view::npos) {
            return line.size() > kKeep && !IsField(line.substr(0, kKeep)) ? kNoHeaders : 0;
        }
        if (Trim(line).empty()) {
            return feed + 1;
        }
        bool continues = at > 0 && (line[0] == ' ' || line[0] == '\t');
        if (!continues && !IsField(line)) {
            return kNoHeaders;
        }
        at = feed + 1;
    }
}

// The fields of a header block, names in lower case, folded lines joined;
// of a field given twice, the first.
std::map<std::string, std::string> Fields(std::string_view block) {
    std::map<std::string, std::string> fields;
    std::string* current = nullptr;
    std::string ignored;
    for (std::size_t at = 0; at < block.size();) {
        std::size_t feed = std::min(block.find('\n', at), block.size());
        std::string_view line = block.substr(at, feed - at);
        at = feed + 1;
        if (Trim(line).empty()) {
            break;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (current != nullptr) {
                *current += " " + std::string(Trim(line));
            }
            continue;
        }
        std::size_t colon = line.find(':');
        auto [field, fresh] =
            fields.try_emplace(Lower(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        current = fresh ? &field->second : &ignored;
    }
    return fields;
}

ContentType ParseContentType(std::string_view value) {
    ContentType result;
    std::size_t semicolon = value.find(';');
    result.type = Lower(Trim(value.substr(0, semicolon)));
    while (semicolon != std::string_view::npos) {
        value.remove_prefix(semicolon + 1);
        std::size_t equals = value.find('=');
        if (equals == std::string_view::npos) {
            break;
        }
        std::string name = Lower(Trim(value.substr(0, equals)));
        value = Trim(value.substr(equals + 1));
        std::string parameter;
        if (!value.empty() && value[0] == '"') {
            std::size_t at = 1;
            for (; at < value.size() && value[at] != '"'; ++at) {
                if (value[at] == '\\' && at + 1 < value.size()) {
                    ++at;
                }
                parameter += value[at];
            }
            semicolon = value.find(';', at);
        } else {
            semicolon = value.find(';');
            parameter = Trim(value.substr(0, semicolon));
        }
        result.parameters.emplace(std::move(name), std::move(parameter));
    }
    return result;
}

std::string Parameter(const ContentType& type, const std::string& name) {
    auto found = type.parameters.find(name);
    return found == type.parameters.end() ? std::string() : found->second;
}

std::string Field(const std::map<std::string, std::string>& fields, const std::string& name) {
    auto found = fields.find(name);
    return found == fields.end() ? std::string() : found->second;
}

bool IsOneOf(const std::string& type, const char* a, const char* b) {
    return type == a || type == b;
}

bool IsBase64Encoding(const std::map<std::string, std::string>& fields) {
    std::string encoding = Lower(Trim(Field(fields, "content-transfer-encoding")));
    if (encoding == "base64") {
        return true;
    }
    if (encoding.empty() || encoding == "binary" || encoding == "7bit" || encoding == "8bit") {
        return false;
    }
    NotSigned(Format(Tr("its content is in the transfer encoding \"%1\", which is not read here"),
                     SafeText(encoding, 64)));
}

}  // namespace quilvane::streaming::mime
