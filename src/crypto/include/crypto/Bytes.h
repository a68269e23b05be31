#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace quilvane {

// An owning, contiguous run of bytes. The memory comes from the crypto
// library's allocator, so a buffer can be handed to a message as its content
// without being copied. Move-only: copies of documents are never made by
// accident.
class Bytes {
  public:
    Bytes() = default;
    // `size` bytes, uninitialised; throws std::bad_alloc when memory is short.
    explicit Bytes(std::size_t size);
    Bytes(const void* data, std::size_t size);

    Bytes(Bytes&& other) noexcept;
    Bytes& operator=(Bytes&& other) noexcept;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes();

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::span<const std::uint8_t> view() const noexcept { return {data_, size_}; }

    // Shortens the buffer to its first `size` bytes (size must not grow).
    void shrink(std::size_t size) noexcept;

    // Gives up ownership: the caller frees the memory with the crypto
    // library's allocator (only the crypto layer does this).
    std::uint8_t* release() noexcept;

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// The form in which the service takes content and messages and gives them
// back. It carries the same bytes as a buffer; the operations only convert it
// and test it for emptiness. It either owns its bytes or borrows them from
// an object it keeps alive (a verified message lends its document this way).
class BinaryString {
  public:
    BinaryString() = default;
    explicit BinaryString(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
    BinaryString(std::shared_ptr<const void> owner, std::span<const std::uint8_t> borrowed) noexcept
        : owner_(std::move(owner)), borrowed_(borrowed) {}

    bool empty() const noexcept { return size() == 0; }
    std::size_t size() const noexcept { return view().size(); }
    std::span<const std::uint8_t> view() const noexcept {
        return owner_ ? borrowed_ : bytes_.view();
    }

    // The bytes as a buffer of their own: moved when owned, copied when borrowed.
    Bytes take() && {
        if (owner_) {
            Bytes copy(borrowed_.data(), borrowed_.size());
            owner_.reset();
            borrowed_ = {};
            return copy;
        }
        return std::move(bytes_);
    }

  private:
    Bytes bytes_;
    std::shared_ptr<const void> owner_;
    std::span<const std::uint8_t> borrowed_;
};

// Conversions between buffers and binary strings. They move what is owned
// and copy only what a string borrows.
struct Utilities {
    static BinaryString ByteArrayToBinaryString(Bytes bytes) noexcept;
    static Bytes BinaryStringToByteArray(BinaryString text);
};

}  // namespace quilvane
