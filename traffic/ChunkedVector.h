// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/LargeAlloc.h"

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace flowsentry {

// An append-only sequence stored in fixed-size chunks: growing it never moves the elements already
// stored, so there is no reallocation pause when the table reaches a million entries. Each chunk is one
// whole huge page, aligned and marked for transparent huge pages (the tail that no whole element fills stays
// unused), so reading the chunks at random rarely misses the TLB.
template <class T> class ChunkedVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    static constexpr std::size_t kChunkSize = kHugePage / sizeof(T);

    ChunkedVector() = default;
    ChunkedVector(const ChunkedVector&) = delete;
    ChunkedVector& operator=(const ChunkedVector&) = delete;
    ~ChunkedVector() { clear(); }

    [[nodiscard]] std::size_t size() const { return m_nSize; }
    [[nodiscard]] bool empty() const { return m_nSize == 0; }

    T& operator[](std::size_t i) { return m_chunks[i / kChunkSize][i % kChunkSize]; }
    const T& operator[](std::size_t i) const { return m_chunks[i / kChunkSize][i % kChunkSize]; }

    // Allocates room for one more element; the only step that can throw.
    void reserve_one() {
        if (m_nSize == m_chunks.size() * kChunkSize) {
            m_chunks.reserve(m_chunks.size() + 1);
            m_chunks.push_back(static_cast<T*>(AllocateLarge(kHugePage)));
        }
    }

    void push_back(const T& value) {
        reserve_one();
        m_chunks[m_nSize / kChunkSize][m_nSize % kChunkSize] = value;
        ++m_nSize;
    }

    void clear() {
        for (T* chunk : m_chunks) {
            FreeLarge(chunk);
        }
        m_chunks.clear();
        m_nSize = 0;
    }

    [[nodiscard]] std::size_t allocated_bytes() const {
        return m_chunks.capacity() * sizeof(T*) + m_chunks.size() * kHugePage;
    }

private:
    std::vector<T*> m_chunks;
    std::size_t m_nSize = 0;
};

} // namespace flowsentry
