#pragma once
// Small text helpers shared by every layer, written once.

#include <initializer_list>
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

// `english` in the person's language when the installed catalogue has it,
// else `english` itself. Every text a person reads goes through here (and
// nothing machine-readable does), so that the catalogue template can be
// extracted from the sources with the keyword `Tr`.
const char* Tr(const char* english);

// `pattern` with its places %1 to %9 filled by `values` in order of number,
// so a translation can put them where its language wants them. Any other
// '%' stays as it is.
std::string FormatList(std::string_view pattern, std::initializer_list<std::string_view> values);

template <typename... Values>
std::string Format(std::string_view pattern, const Values&... values) {
    return FormatList(pattern, {std::string_view(values)...});
}

// `text` with a carriage return before each line feed, as the messages'
// lines end; the catalogue holds them with line feeds alone.
std::string CrLf(std::string_view text);

// Reads the catalogues from the folder QUILVANE_LOCALEDIR names when it is
// set (the build tree's, for the tests), else from `installed`.
void UseCatalogues(const char* installed);

// Marks a text for the catalogue without translating it where it stands,
// for tables translated later through Tr.
#define QUILVANE_N_(english) english

}  // namespace quilvane
