// regerror.cpp: the engine's single error hook.
//
// Every engine failure funnels through regreport, which hands the message (see messages.h)
// to the hook installed with regsethook, or drops it when there is none. The engine never
// prints or exits on its own; what a failure means to the program is the hook's business.
// compiler_test covers installing, replacing and removing the hook.
#include "regexp/program.h"
#include "regexp/regexp.h"

namespace {

// error_hook is the hook in force for every engine operation; none at program start.
RegErrorHook error_hook = nullptr;

}  // namespace

void regsethook(RegErrorHook hook) { error_hook = hook; }

void regreport(const char* message) {
    if (error_hook != nullptr) error_hook(message);
}
