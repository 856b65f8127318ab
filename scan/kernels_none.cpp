// kernels_none.cpp: stands in for kernels_avx2.cpp on processors other than x86, which
// have no AVX2 table; the plain kernels then serve.
#include "scan/kernels.h"

const ScanKernels* avx2_kernels() { return nullptr; }
