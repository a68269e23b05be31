#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quilvane {

// Text from a certificate or a message made fit to show: it can neither steer
// a terminal nor reorder or hide what follows it. Control characters become
// visible escapes ("\r", "\n", "\t", "\x1B"), bidirectional controls and
// invisible format characters become "<U+202E>", invalid UTF-8 becomes
// U+FFFD, and a text longer than `maxCharacters` characters is cut to that
// many, the last being "…".
std::string SafeText(std::string_view text, std::size_t maxCharacters = 256);

}  // namespace quilvane
