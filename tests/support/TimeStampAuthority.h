#pragma once
// A time-stamping authority among the loopback services: `openssl ts -reply`
// answering real RFC 3161 requests, and authorities that answer wrongly.

#include <string>

#include "support/LoopbackServices.h"
#include "support/TestPki.h"

namespace quilvane::test {

// Sets up, in `services`' folder, POST /run/NAME for each NAME below. The
// authority's certificate is issued by `pki`'s root with the critical
// timeStamping usage, as "Quilvane Test TSA".
//   tsa      a token for the request
//   other    a token for another request (another imprint, another nonce)
//   unfit    a token signed by a certificate without the timeStamping usage
//   refuse   a reply of status rejection, without a token
//   broken   an HTTP 500
class TimeStampAuthority {
  public:
    TimeStampAuthority(LoopbackServices& services, Pki& pki);

    // The URL of one of the services above.
    std::string url(const std::string& name = "tsa") const { return services_.url("/run/" + name); }
    const Identity& identity() const { return tsa_; }

  private:
    LoopbackServices& services_;
    Identity tsa_;
};

}  // namespace quilvane::test
