#pragma once
// A mail's header blocks as the armour decoder reads them: where a block
// ends, its fields, and the content type and transfer encoding they give.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace quilvane::streaming::mime {

// Of a line before the Base64 text only its start tells anything.
inline constexpr std::size_t kKeep = 256;

bool IsSpace(std::uint8_t c);
std::string_view Trim(std::string_view s);
std::string Lower(std::string_view s);
std::string_view View(std::span<const std::uint8_t> bytes);

inline constexpr std::size_t kNoHeaders = std::string_view::npos;

// Where the header block at the start of `text` ends (after its blank
// line): 0 when more text is needed to tell, kNoHeaders when it is none.
std::size_t HeaderEnd(std::string_view text);

// The fields of a header block, names in lower case, folded lines joined;
// of a field given twice, the first.
std::map<std::string, std::string> Fields(std::string_view block);
// The value of the field `name`, empty when the block lacks it.
std::string Field(const std::map<std::string, std::string>& fields, const std::string& name);

struct ContentType {
    std::string type;  // "type/subtype" in lower case
    std::map<std::string, std::string> parameters;
};

ContentType ParseContentType(std::string_view value);
// The value of the parameter `name`, empty when the type lacks it.
std::string Parameter(const ContentType& type, const std::string& name);
bool IsOneOf(const std::string& type, const char* a, const char* b);

// Base64 or binary: the transfer encodings a signed message comes in. Raises
// status::BadMessage for any other.
bool IsBase64Encoding(const std::map<std::string, std::string>& fields);

}  // namespace quilvane::streaming::mime
