// capture_hook.h: an error hook for the engine tests that keeps every message.
//
// The engine reports its failures through the hook installed with regsethook; the tests
// install capture_message and compare what arrived in `reported` byte for byte. CaptureHook
// does both for a scope. Used by compiler_test, regsub_test, matcher_test,
// matcher_diff_test, redos_test and the fuzz targets. Header-only, so that the fuzz
// targets use it without the rest of the test support. Test-only code.
#pragma once

#include <string>
#include <vector>

#include "regexp/regexp.h"

// reported holds the messages capture_message received, oldest first.
inline std::vector<std::string> reported;

// capture_message is the hook: it appends the message to reported.
inline void capture_message(const char* message) { reported.emplace_back(message); }

// CaptureHook empties reported and installs capture_message for its lifetime; at its end
// no hook is installed, so a later failure outside it is silent.
class CaptureHook {
public:
    CaptureHook() {
        reported.clear();
        regsethook(capture_message);
    }
    ~CaptureHook() { regsethook(nullptr); }
    CaptureHook(const CaptureHook&) = delete;
    CaptureHook& operator=(const CaptureHook&) = delete;
};
