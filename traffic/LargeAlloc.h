// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <type_traits>
#include <utility>

namespace flowsentry {

// Memory for arrays that are read at random, such as the table's index and entries at a million flows:
// placed on 2 MiB boundaries and marked for transparent huge pages, which spares most lookups a TLB miss.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20U;

inline void* AllocateLarge(std::size_t bytes) {
    if (bytes < kHugePage) {
        void* p = std::malloc(bytes);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return p;
    }
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    // Only a hint: without huge pages everything works the same, a little slower.
    (void)madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

inline void FreeLarge(void* p) {
    std::free(p);
}

} // namespace flowsentry

namespace flowsentry {

// A fixed-size, zero-filled array in large-allocation memory.
template <class T> class LargeArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    LargeArray() = default;
    explicit LargeArray(std::size_t size)
        : m_pData(static_cast<T*>(AllocateLarge(size * sizeof(T)))), m_nSize(size) {
        std::memset(static_cast<void*>(m_pData), 0, size * sizeof(T));
    }
    LargeArray(LargeArray&& other) noexcept
        : m_pData(std::exchange(other.m_pData, nullptr)), m_nSize(std::exchange(other.m_nSize, 0)) {}
    LargeArray& operator=(LargeArray&& other) noexcept {
        std::swap(m_pData, other.m_pData);
        std::swap(m_nSize, other.m_nSize);
        return *this;
    }
    LargeArray(const LargeArray&) = delete;
    LargeArray& operator=(const LargeArray&) = delete;
    ~LargeArray() { FreeLarge(m_pData); }

    [[nodiscard]] std::size_t size() const { return m_nSize; }
    T& operator[](std::size_t i) { return m_pData[i]; }
    const T& operator[](std::size_t i) const { return m_pData[i]; }
    T* begin() { return m_pData; }
    T* end() { return m_pData + m_nSize; }
    [[nodiscard]] const T* begin() const { return m_pData; }
    [[nodiscard]] const T* end() const { return m_pData + m_nSize; }

private:
    T* m_pData = nullptr;
    std::size_t m_nSize = 0;
};

} // namespace flowsentry
