#pragma once
// Small text helpers shared by every layer, written once.

#include <string>
#include <string_view>

namespace quilvane {

// `text` in double quotes, as file and token names stand in descriptions.
std::string Quoted(std::string_view text);

// `text` less the blanks (spaces, tabs, line ends) at both ends.
std::string Trimmed(std::string_view text);

// `text` with its ASCII letters in lower case; every other byte as it is,
// whatever the locale, so that UTF-8 stays intact.
std::string Lowered(std::string text);

}  // namespace quilvane
