// regexp_ptr.h: RegexpPtr and RegMatcherPtr, owning pointers to a compiled program and to
// its selection matcher, for the tests.
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

// RegMatcherPtr owns a selection matcher (regmatcher) and releases it with regmatcher_free.
struct FreeRegMatcher {
    void operator()(RegMatcher* matcher) const { regmatcher_free(matcher); }
};
using RegMatcherPtr = std::unique_ptr<RegMatcher, FreeRegMatcher>;
