#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace flowsentry {

// An append-only sequence stored in fixed-size chunks: growing it never moves the elements already
// stored, so there is no reallocation pause when the table reaches a million entries.
template <class T, std::size_t ChunkSize = 4096>
class ChunkedVector {
public:
    [[nodiscard]] std::size_t size() const { return m_nSize; }
    [[nodiscard]] bool empty() const { return m_nSize == 0; }

    T& operator[](std::size_t i) { return m_chunks[i / ChunkSize][i % ChunkSize]; }
    const T& operator[](std::size_t i) const { return m_chunks[i / ChunkSize][i % ChunkSize]; }

    // Allocates room for one more element; the only step that can throw.
    void reserve_one() {
        if (m_nSize == m_chunks.size() * ChunkSize) {
            m_chunks.reserve(m_chunks.size() + 1);
            m_chunks.push_back(std::make_unique_for_overwrite<T[]>(ChunkSize));
        }
    }

    void push_back(const T& value) {
        reserve_one();
        m_chunks[m_nSize / ChunkSize][m_nSize % ChunkSize] = value;
        ++m_nSize;
    }

    void clear() {
        m_chunks.clear();
        m_nSize = 0;
    }

    [[nodiscard]] std::size_t allocated_bytes() const {
        return m_chunks.capacity() * sizeof(std::unique_ptr<T[]>) + m_chunks.size() * ChunkSize * sizeof(T);
    }

private:
    std::vector<std::unique_ptr<T[]>> m_chunks;
    std::size_t m_nSize = 0;
};

} // namespace flowsentry
