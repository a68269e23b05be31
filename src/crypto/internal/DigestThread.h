#pragma once
// A document's digests taken on a second thread while the calling thread
// reads the next chunk and writes the last: on two cores the disk's work and
// the hashing then take the time of the longer, not of both.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace quilvane::signed_data {

class DigestThread {
  public:
    using Work = std::function<void(std::span<const std::uint8_t>)>;

    // `digest` takes each chunk in order, on the second thread when the
    // document (of `size` when known) is larger than one `chunk`, else on the
    // caller's as it comes. It may raise; the caller's next call raises that.
    DigestThread(Work digest, std::size_t chunk, std::optional<std::uint64_t> size);
    // Stops the second thread after the chunk it is at and waits for it.
    ~DigestThread();
    DigestThread(const DigestThread&) = delete;
    DigestThread& operator=(const DigestThread&) = delete;

    // A buffer for the next chunk, once the second thread is done with it.
    std::span<std::uint8_t> Free();
    // The first `n` bytes of the buffer Free() gave go to be digested; they
    // are returned to be written meanwhile, until the next call to Free().
    std::span<const std::uint8_t> Submit(std::size_t n);
    // Copies `bytes` (not kept by the caller) to be digested.
    void Add(std::span<const std::uint8_t> bytes);
    // Waits until every byte is digested and the second thread has ended.
    void Finish();

    // Off: every chunk is digested on the caller's thread, in the same order
    // (for comparing the two ways' output).
    static void Overlap(bool on);

  private:
    void Run();
    void Stop();
    void RaiseIfFailed();

    Work digest_;
    std::vector<std::vector<std::uint8_t>> ring_;
    std::vector<std::size_t> lengths_;
    std::size_t chunk_;
    std::size_t filling_ = 0;  // bytes of the current buffer Add() filled
    std::uint64_t submitted_ = 0;
    std::thread worker_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t digested_ = 0;  // below: guarded by mutex_
    std::uint64_t queued_ = 0;
    bool ending_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
};

}  // namespace quilvane::signed_data
