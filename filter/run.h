// run.h: run_filter, one whole run of the tool from banner to exit status.
//
// main wraps fds 0 and 1 and calls it; tests and fuzz targets call it with memory streams.
// Diagnostics go to stderr. A run leaves nothing behind: it may be repeated in the same
// process any number of times.
#pragma once

#include "filter/stream.h"

// run_filter runs the filter over in, writing the selected lines to out, and returns the
// exit status: 0 after the summary line, 1 for the usage text, an engine error, or a read
// or write error. argv[0] is the program path shown in the banner and the usage text.
int run_filter(int argc, char** argv, InputSource& in, OutputSink& out);
