// guarded_buffer.h: bytes placed against a page that may not be read, so that a kernel
// that reads one byte before or after the span it was given faults at once, in any build.
//
// GuardedBuffer maps its pages between two inaccessible ones; at_end puts a text so that
// it ends where the upper guard page begins, at_start so that it begins right after the
// lower one. A text longer than the pages is refused (null). POSIX only, as the tests are.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string_view>

class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t pages = 2) : page_(size_t(sysconf(_SC_PAGESIZE))), pages_(pages) {
        void* base = mmap(nullptr, (pages_ + 2) * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return;
        base_ = static_cast<char*>(base);
        if (mprotect(base_ + page_, pages_ * page_, PROT_READ | PROT_WRITE) != 0) {
            munmap(base_, (pages_ + 2) * page_);
            base_ = nullptr;
        }
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    ~GuardedBuffer() {
        if (base_ != nullptr) munmap(base_, (pages_ + 2) * page_);
    }

    bool usable() const { return base_ != nullptr; }

    const char* at_end(std::string_view text) {
        if (!fits(text)) return nullptr;
        char* at = base_ + (pages_ + 1) * page_ - text.size();
        std::memcpy(at, text.data(), text.size());
        return at;
    }

    const char* at_start(std::string_view text) {
        if (!fits(text)) return nullptr;
        std::memcpy(base_ + page_, text.data(), text.size());
        return base_ + page_;
    }

private:
    bool fits(std::string_view text) const { return base_ != nullptr && text.size() <= pages_ * page_; }

    size_t page_, pages_;
    char* base_ = nullptr;
};
