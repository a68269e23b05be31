#pragma once
// HTTP and HTTPS exchanges with the services a signature relies on (time
// stamps, OCSP, CRLs), under the run's NetworkSettings: a timeout always set,
// the proxy of the environment, one request at a time per server.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quilvane {

// Posts `body` as `contentType` to `url` and returns the answer's body, which
// must come as `expectedType`. Raises Error(status::NetworkFailed) with why in
// its detail when offline, on timeout, on any HTTP or transport failure, and
// Error(status::Stopped) when the wait check stops it.
std::vector<std::uint8_t> HttpPost(const std::string& url, const char* contentType,
                                   std::span<const std::uint8_t> body, const char* expectedType);

// Gets `url` (a CRL); raises as HttpPost does. Answers over `maxBytes` are refused.
std::vector<std::uint8_t> HttpGet(const std::string& url, std::size_t maxBytes);

}  // namespace quilvane
