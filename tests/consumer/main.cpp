// main.cpp: the README's library example, run by the install and package tests.
//
// For each line of standard input that matches NAME=NUMBER, write the template's
// expansion; a pattern that does not compile reaches the error hook.
#include <quarnel/regexp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
    regsethook([](const char* message) { std::fprintf(stderr, "regexp: %s\n", message); });
    Regexp* re = regcompile("([a-z]+)=([0-9]+)");
    char line[256], out[1024];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        if (regsearch(re, line)) {
            regsub(re, "\\2 for \\1 (&)", out);  // three texts of the line and 9 bytes fit
            std::puts(out);
        }
    }
    std::free(re);
    return regcompile("(a") == nullptr ? 0 : 1;  // reported through the hook: unmatched ()
}
