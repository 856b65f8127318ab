// memory_streams.h: InputSource and OutputSink over memory, for in-process runs.
//
// MemoryInput hands out its bytes in reads of chosen sizes (to exercise lines cut by the
// end of a read); MemoryOutput collects what is written and can be told to fail.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "filter/stream.h"

class MemoryInput : public InputSource {
public:
    // read_sizes are the largest sizes of the successive reads, used in a cycle; empty means
    // as much as the caller asks for. fail_at, when not npos, makes the read that would
    // start at that offset fail with EIO.
    explicit MemoryInput(std::string data, std::vector<size_t> read_sizes = {}, size_t fail_at = std::string::npos)
        : data_(std::move(data)), read_sizes_(std::move(read_sizes)), fail_at_(fail_at) {}

    long read(char* buffer, size_t size) override {
        if (position_ == fail_at_) {
            errno = EIO;
            return -1;
        }
        size_t n = data_.size() - position_;
        if (n > size) n = size;
        if (!read_sizes_.empty()) {
            size_t limit = read_sizes_[reads_++ % read_sizes_.size()];
            if (n > limit) n = limit;
        }
        if (fail_at_ != std::string::npos && position_ < fail_at_ && position_ + n > fail_at_) n = fail_at_ - position_;
        std::memcpy(buffer, data_.data() + position_, n);
        position_ += n;
        return static_cast<long>(n);
    }

    size_t reads() const { return reads_; }

private:
    std::string data_;
    std::vector<size_t> read_sizes_;
    size_t fail_at_;
    size_t position_ = 0;
    size_t reads_ = 0;
};

class MemoryOutput : public OutputSink {
public:
    // fail_after, when not npos, makes writes fail with ENOSPC once that many bytes are taken.
    explicit MemoryOutput(size_t fail_after = std::string::npos) : fail_after_(fail_after) {}

    bool write_all(const char* data, size_t size) override {
        ++writes;
        if (fail_after_ != std::string::npos && text.size() + size > fail_after_) {
            text.append(data, fail_after_ - text.size());
            errno = ENOSPC;
            return false;
        }
        text.append(data, size);
        return true;
    }

    std::string text;
    size_t writes = 0;

private:
    size_t fail_after_;
};
