// The second thread that digests a large document: what goes wrong there is
// raised on the caller's thread, and a stop on either side ends both within
// one chunk, the thread joined.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "internal/DigestThread.h"
#include "support/Raised.h"

namespace quilvane::test {
namespace {

using signed_data::DigestThread;
using namespace std::chrono_literals;

constexpr std::size_t kChunk = 64;
constexpr std::size_t kChunks = 40;

// Reads kChunks chunks into `digests` and finishes, or raises at `stopAt`
// chunks as a progress callback does when the person cancels.
void Feed(DigestThread& digests, std::size_t stopAt = kChunks) {
    for (std::size_t i = 0; i < kChunks; ++i) {
        if (i == stopAt) {
            throw Error(status::Stopped, "The work was stopped.");
        }
        digests.Free()[0] = static_cast<std::uint8_t>(i);
        digests.Submit(i % 2 == 0 ? kChunk : 1);
    }
    digests.Finish();
}

TEST(DigestThreadTest, AStopOnEitherSideEndsBothWithinOneChunk) {
    std::atomic<std::size_t> digested = 0;
    std::size_t atStop = 0;
    const auto slowly = [&](std::span<const std::uint8_t> bytes) {
        EXPECT_EQ(bytes[0], digested.load());
        std::this_thread::sleep_for(5ms);
        if (++digested == 12) {
            throw Error(status::Failed, "Could not digest the document");
        }
    };
    // The caller stops after 8 chunks: the thread ends at the one it is at.
    EXPECT_EQ(Raised([&] {
                  DigestThread digests(slowly, kChunk, std::nullopt);
                  try {
                      Feed(digests, 8);
                  } catch (const Error&) {
                      atStop = digested;
                      throw;
                  }
              }),
              (Raise{status::Stopped, "The work was stopped."}));
    EXPECT_LE(digested.load(), atStop + 1);

    // The thread fails at its 12th chunk: the caller's next call raises that.
    digested = 0;
    EXPECT_EQ(Raised([&] {
                  DigestThread digests(slowly, kChunk, std::nullopt);
                  Feed(digests);
              }),
              (Raise{status::Failed, "Could not digest the document"}));
    EXPECT_EQ(digested.load(), 12u);
}

}  // namespace
}  // namespace quilvane::test
