// dispatch.cpp: which kernel family serves this process, and the public kernel calls.
//
// The choice is made once, at the first call: the vector table when the processor has it,
// unless the environment says QUARNEL_KERNELS=plain. Tests switch with scan_select_kernels
// to run every path in both families.
#include <cstdlib>
#include <cstring>

#include "scan/kernels.h"

namespace {

const ScanKernels* active = nullptr;
KernelLevel active_level = KernelLevel::PLAIN;

void use_level(KernelLevel level) {
    const ScanKernels* vector = level == KernelLevel::AVX2 ? avx2_kernels() : nullptr;
    active = vector != nullptr ? vector : &PLAIN_KERNELS;
    active_level = vector != nullptr ? KernelLevel::AVX2 : KernelLevel::PLAIN;
}

}  // namespace

const ScanKernels& active_kernels() {
    if (active == nullptr) {
        const char* wanted = std::getenv("QUARNEL_KERNELS");
        use_level(wanted != nullptr && std::strcmp(wanted, "plain") == 0 ? KernelLevel::PLAIN : KernelLevel::AVX2);
    }
    return *active;
}

KernelLevel scan_kernel_level() {
    active_kernels();
    return active_level;
}

KernelLevel scan_select_kernels(KernelLevel level) {
    KernelLevel before = scan_kernel_level();
    use_level(level);
    return before;
}

size_t scan_count_byte(const char* begin, const char* end, char byte) { return active_kernels().count_byte(begin, end, byte); }

const char* scan_find_line_end(const char* begin, const char* end) { return active_kernels().find_line_end(begin, end); }

const char* scan_find_last_byte(const char* begin, const char* end, char byte) {
    return active_kernels().find_last_byte(begin, end, byte);
}

StretchStats scan_stretch(const char* begin, const char* end) { return active_kernels().stretch(begin, end); }

void scan_map_case(const char* from, char* to, size_t size, CaseMapping mapping) {
    active_kernels().map_case(from, to, size, mapping);
}
