#pragma once

// Key text in the tool's own buffers. A Secret grows by copying into a new
// buffer and wiping the old one, and wipes its buffer when it goes, so no
// freed memory of the process keeps a copy of a key. Keys are read into one
// with read(2), never through stdio or std::string. The wiping is the
// library's (clscrypt::Wipe); the tool has none of its own.

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

#include <clscrypt/policy.hpp>

namespace clscrypt::tool {

template <typename Char>
class Secret {
public:
    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Secret() { release(); }

    void push_back(Char c) {
        if (size_ == capacity_) grow();
        data_[size_++] = c;
    }
    void pop_back() noexcept { data_[--size_] = Char{}; }
    /// Makes room for `n` more characters and returns where they go, so a
    /// read can land in the buffer directly (no copy on the stack). The
    /// size grows by `n`; shrink it with `truncate` to what was filled.
    Char* extend(std::size_t n) {
        while (capacity_ - size_ < n) grow();
        Char* at = data_ + size_;
        size_ += n;
        return at;
    }
    /// Drops everything from position `n` on, wiping it.
    void truncate(std::size_t n) noexcept {
        if (n >= size_) return;
        clscrypt::Wipe(data_ + n, (size_ - n) * sizeof(Char));
        size_ = n;
    }

    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] Char back() const noexcept { return data_[size_ - 1]; }
    [[nodiscard]] std::basic_string_view<Char> view() const noexcept { return {data_, size_}; }

    friend bool operator==(const Secret& a, const Secret& b) noexcept { return a.view() == b.view(); }

private:
    void grow() {
        const std::size_t capacity = std::max<std::size_t>(64, capacity_ * 2);
        Char* bigger = new Char[capacity];
        std::copy(data_, data_ + size_, bigger);
        release_buffer();
        data_ = bigger;
        capacity_ = capacity;
    }
    void release_buffer() noexcept {
        if (data_ != nullptr) {
            clscrypt::Wipe(data_, capacity_ * sizeof(Char));
            delete[] data_;
        }
    }
    void release() noexcept {
        release_buffer();
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    Char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

using SecretText = Secret<char>;     // as read: UTF-8
using SecretKey = Secret<char16_t>;  // as the library takes it

}  // namespace clscrypt::tool
