// read_buffer.cpp: ReadBuffer (read_buffer.h).
#include "filter/read_buffer.h"

#include <cstdint>
#include <cstring>

std::pair<char*, size_t> ReadBuffer::room() {
    size_t kept = end_ - begin_;
    if (kept <= ALIGNED_KEEP_LIMIT) {
        place_kept((kept + READ_ALIGNMENT - 1) / READ_ALIGNMENT * READ_ALIGNMENT - kept);
        return {base_ + end_, READ_BLOCK_SIZE};
    }
    if (capacity_ - end_ < READ_BLOCK_SIZE / 2) {
        place_kept(0);
        if (capacity_ - end_ < READ_BLOCK_SIZE / 2) grow(2 * capacity_);
    }
    return {base_ + end_, capacity_ - end_};
}

void ReadBuffer::place_kept(size_t at) {
    if (at == begin_) return;
    std::memmove(base_ + at, base_ + begin_, end_ - begin_);
    end_ = at + (end_ - begin_);
    begin_ = at;
}

void ReadBuffer::grow(size_t capacity) {
    std::vector<char> storage(capacity + 1 + READ_ALIGNMENT);
    uintptr_t address = reinterpret_cast<uintptr_t>(storage.data());
    char* base = storage.data() + (READ_ALIGNMENT - address % READ_ALIGNMENT) % READ_ALIGNMENT;
    if (base_ != nullptr) std::memcpy(base + begin_, base_ + begin_, end_ - begin_);
    storage_ = std::move(storage);
    base_ = base;
    capacity_ = capacity;
}
