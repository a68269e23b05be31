#include "crypto/Bytes.h"

#include <openssl/crypto.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quilvane {
namespace {

// Documents are held whole in memory, and a large one is touched page by page
// as it is read, decoded and written. Asking for transparent huge pages for
// large blocks turns hundreds of thousands of page faults into a few hundred.
// A hint only: where the system declines, nothing changes.
constexpr std::size_t kLargeBlock = std::size_t{8} << 20;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

void AdviseHugePages(void* block, std::size_t size) {
    if (block == nullptr || size < kLargeBlock) {
        return;
    }
    std::uintptr_t start =
        (reinterpret_cast<std::uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(kHugePage - 1);
    if (end > start) {
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }
}

void* Allocate(std::size_t size, const char*, int) {
    void* block = std::malloc(size);
    AdviseHugePages(block, size);
    return block;
}

void* Reallocate(void* block, std::size_t size, const char*, int) {
    void* moved = std::realloc(block, size);
    AdviseHugePages(moved, size);
    return moved;
}

void Release(void* block, const char*, int) {
    std::free(block);
}

// OpenSSL takes allocator functions only before its first allocation, which
// is why they are set while the program starts.
[[maybe_unused]] const bool kAllocatorSet =
    CRYPTO_set_mem_functions(Allocate, Reallocate, Release) == 1;

}  // namespace

Bytes::Bytes(std::size_t size) : size_(size) {
    if (size == 0) {
        return;
    }
    data_ = static_cast<std::uint8_t*>(OPENSSL_malloc(size));
    if (data_ == nullptr) {
        size_ = 0;
        throw std::bad_alloc();
    }
}

Bytes::Bytes(const void* data, std::size_t size) : Bytes(size) {
    if (size != 0) {
        std::memcpy(data_, data, size);
    }
}

Bytes::Bytes(Bytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
    if (this != &other) {
        OPENSSL_free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Bytes::~Bytes() {
    OPENSSL_free(data_);
}

void Bytes::shrink(std::size_t size) noexcept {
    if (size < size_) {
        size_ = size;
    }
}

std::uint8_t* Bytes::release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
}

BinaryString Utilities::ByteArrayToBinaryString(ByteBuffer bytes) noexcept {
    return BinaryString(std::move(bytes));
}

ByteBuffer Utilities::BinaryStringToByteArray(BinaryString text) {
    return std::move(text).take();
}

}  // namespace quilvane
