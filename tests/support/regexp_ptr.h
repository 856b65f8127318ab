// regexp_ptr.h: RegexpPtr, an owning pointer to a compiled program for the tests.
//
// regcompile hands out a record allocated with malloc; RegexpPtr frees it with std::free
// when it goes out of scope, so a failed assertion cannot leak it. Test-only code.
#pragma once

#include <cstdlib>
#include <memory>

#include "regexp/regexp.h"

struct FreeRegexp {
    void operator()(Regexp* prog) const { std::free(prog); }
};
using RegexpPtr = std::unique_ptr<Regexp, FreeRegexp>;
