// main.cpp: the quarnel program. Everything happens in run_filter (run.h).
#include "filter/platform.h"
#include "filter/run.h"

int main(int argc, char** argv) {
    FdInput in(STDIN_FD);
    FdOutput out(STDOUT_FD);
    return run_filter(argc, argv, in, out);
}
