#include "internal/DigestThread.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

namespace quilvane::signed_data {
namespace {

// Buffers in the ring: one being read into, one being digested and written,
// and room for either side to run a chunk ahead.
constexpr std::size_t kRing = 4;

std::atomic<bool> gOverlap{true};

}  // namespace

void DigestThread::Overlap(bool on) {
    gOverlap = on;
}

DigestThread::DigestThread(Work digest, std::size_t chunk, std::optional<std::uint64_t> size)
    : digest_(std::move(digest)), chunk_(chunk) {
    const bool threaded = gOverlap && (!size || *size > chunk);
    ring_.resize(threaded ? kRing : 1);
    lengths_.resize(ring_.size());
    if (!threaded) {
        return;
    }
    // Signals go to the thread that reads, which looks at the stop they ask
    // for after each chunk; the second thread inherits a mask that blocks them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        worker_ = std::thread([this] { Run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

DigestThread::~DigestThread() {
    Stop();
}

void DigestThread::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void DigestThread::Run() {
    for (std::uint64_t next = 0;; ++next) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || ending_ || queued_ > next; });
            if (stopping_ || queued_ == next) {
                return;
            }
        }
        const std::size_t slot = next % ring_.size();
        try {
            digest_({ring_[slot].data(), lengths_[slot]});
        } catch (...) {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            changed_.notify_all();
            return;
        }
        {
            std::lock_guard lock(mutex_);
            digested_ = next + 1;
        }
        changed_.notify_all();
    }
}

void DigestThread::RaiseIfFailed() {
    std::exception_ptr failure;
    {
        std::lock_guard lock(mutex_);
        failure = failure_;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

std::span<std::uint8_t> DigestThread::Free() {
    if (worker_.joinable()) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return failure_ || submitted_ - digested_ < ring_.size(); });
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }
    std::vector<std::uint8_t>& buffer = ring_[submitted_ % ring_.size()];
    if (buffer.empty()) {
        buffer.resize(chunk_);
    }
    return buffer;
}

std::span<const std::uint8_t> DigestThread::Submit(std::size_t n) {
    const std::size_t slot = submitted_ % ring_.size();
    const std::span<const std::uint8_t> bytes(ring_[slot].data(), n);
    if (n == 0) {
        return bytes;
    }
    lengths_[slot] = n;
    ++submitted_;
    if (!worker_.joinable()) {
        digest_(bytes);
        return bytes;
    }
    {
        std::lock_guard lock(mutex_);
        queued_ = submitted_;
    }
    changed_.notify_all();
    return bytes;
}

void DigestThread::Add(std::span<const std::uint8_t> bytes) {
    if (!worker_.joinable()) {
        digest_(bytes);
        return;
    }
    while (!bytes.empty()) {
        const std::span<std::uint8_t> into =
            filling_ == 0 ? Free() : std::span<std::uint8_t>(ring_[submitted_ % ring_.size()]);
        const std::size_t n = std::min(bytes.size(), chunk_ - filling_);
        std::memcpy(into.data() + filling_, bytes.data(), n);
        filling_ += n;
        bytes = bytes.subspan(n);
        if (filling_ == chunk_) {
            Submit(std::exchange(filling_, 0));
        }
    }
}

void DigestThread::Finish() {
    if (filling_ > 0) {
        Submit(std::exchange(filling_, 0));
    }
    if (worker_.joinable()) {
        {
            std::unique_lock lock(mutex_);
            ending_ = true;
            changed_.notify_all();
            changed_.wait(lock, [&] { return failure_ || digested_ == submitted_; });
        }
        Stop();
    }
    RaiseIfFailed();
}

}  // namespace quilvane::signed_data
