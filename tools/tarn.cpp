// tarn: the library's command-line tool (see `tarn --help`).
#include <unistd.h>

#include <iostream>

#include "cli.h"

int main(int argc, char **argv) {
    // The table on a terminal shows progress by itself; a progress line is
    // drawn only when the table goes elsewhere and stderr is a terminal.
    const bool progress = isatty(STDERR_FILENO) == 1 && isatty(STDOUT_FILENO) == 0;
    return tarn_tool::runTool(argc, argv, {std::cout, std::cerr, progress});
}
