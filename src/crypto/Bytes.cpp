#include "crypto/Bytes.h"
#include "crypto/Secret.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quilvane {

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

void WipeMemory(void* data, std::size_t size) noexcept {
    OPENSSL_cleanse(data, size);
}

void WipeText(std::string& text) noexcept {
    // The whole buffer: characters past the end (a dropped line end, what a
    // move left behind) are copies too.
    text.resize(text.capacity());
    WipeMemory(text.data(), text.size());
    text.clear();
}

BinaryString Utilities::ByteArrayToBinaryString(Bytes bytes) noexcept {
    return BinaryString(std::move(bytes));
}

Bytes Utilities::BinaryStringToByteArray(BinaryString text) {
    return std::move(text).take();
}

}  // namespace quilvane
