#pragma once

#include <fnmatch.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "crypto/Error.h"

namespace quilvane::test {

// What an action raised: the Error's number and description; 0 and "" for nothing.
using Raise = std::pair<std::int32_t, std::string>;

inline Raise Raised(const std::function<void()>& action) try {
    action();
    return {};
} catch (const Error& error) {
    return {error.number(), error.description()};
}

// Whether `text` matches the shell pattern `pattern`, whose * stands for any text.
inline bool Like(const std::string& text, const std::string& pattern) {
    return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

inline bool StartsWith(const std::string& text, const std::string& start) {
    return text.rfind(start, 0) == 0;
}

}  // namespace quilvane::test
