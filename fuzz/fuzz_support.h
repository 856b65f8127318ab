// fuzz_support.h: what the fuzz targets share.
//
// - fuzz_fail prints what went wrong (with the input escaped) and aborts, so that libFuzzer
//   records the input as a crash.
// - check_program validates a compiled Regexp with the tests' validator
//   (tests/support/program_check.h), the program's size taken from the sanitizer's
//   allocator, and aborts on a breach. regcompile_fuzz runs it on every program; the other
//   engine targets run it too, since it is cheap next to a search.
// - split_at_nul cuts a fuzz input into NUL-separated fields.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "regexp/program.h"
#include "regexp/regexp.h"
#include "support/escape_bytes.h"
#include "support/program_check.h"

// fuzz_fail reports a broken invariant and aborts. The format is printf's.
[[noreturn]] inline void fuzz_fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void fuzz_fail(const char* format, ...) {
    std::fputs("\n*** FUZZ INVARIANT BROKEN: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// split_at_nul returns the first max_fields NUL-separated fields of data; the last field
// takes the rest, NULs included. Missing fields are empty.
inline std::vector<std::string> split_at_nul(const uint8_t* data, size_t size, size_t max_fields) {
    std::vector<std::string> fields;
    const char* text = reinterpret_cast<const char*>(data);
    size_t begin = 0;
    while (fields.size() + 1 < max_fields) {
        const void* nul = std::memchr(text + begin, '\0', size - begin);
        if (nul == nullptr) break;
        size_t end = static_cast<size_t>(static_cast<const char*>(nul) - text);
        fields.emplace_back(text + begin, end - begin);
        begin = end + 1;
    }
    fields.emplace_back(text + begin, size - begin);
    while (fields.size() < max_fields) fields.emplace_back();
    return fields;
}

// check_program validates re (see tests/support/program_check.h) and aborts on the first
// breach; the sanitizer's allocator tells the block's size, hence the program's. pattern
// is only for the report.
inline ProgramShape check_program(const Regexp* re, std::string_view pattern) {
    // ASan reports the size that was asked for, so the block's size gives the program's.
    const size_t block = __sanitizer_get_allocated_size(re);
    if (block <= sizeof(Regexp))
        fuzz_fail("program of pattern \"%s\": block smaller than the record (%zu bytes)", escape_bytes(pattern).c_str(),
                  block);
    const ProgramCheck check = check_program(re, block - sizeof(Regexp));
    if (!check.fault.empty())
        fuzz_fail("program of pattern \"%s\": %s (offset %zu)", escape_bytes(pattern).c_str(), check.fault.c_str(),
                  check.offset);
    return check.shape;
}
