// bench_support.h: what the engine's micro-benchmarks share.
//
// with_default_min_time gives every benchmark a short default running time (the owning
// pointers RegexpPtr and RegMatcherPtr come with regexp.h). Bench-only code, never linked
// into the product.
#pragma once

#include <vector>

#include "regexp/regexp.h"

// with_default_min_time returns argv with --benchmark_min_time=0.1 in front (and a null at
// the end), so that a run of every benchmark stays short while a --benchmark_min_time given
// on the command line, which comes later, still wins. argc is updated to match.
inline std::vector<char*> with_default_min_time(int& argc, char** argv) {
    static char DEFAULT_MIN_TIME[] = "--benchmark_min_time=0.1";
    std::vector<char*> arguments{argv[0], DEFAULT_MIN_TIME};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    argc = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    return arguments;
}
