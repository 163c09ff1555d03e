// The command-line tool's front end, callable in-process (tests) and from main.
#pragma once

#include <ostream>

namespace tarn_tool {

struct ToolIo {
    std::ostream &out;
    std::ostream &err;
    bool progress = false;  // draw a progress line on `err` during long runs
};

// Runs the tool with the given arguments (argv[0] is the program name).
// Returns the process exit status: 0 success, 1 failed run or bad input
// data, 2 bad command line.
int runTool(int argc, const char *const *argv, ToolIo io);

}  // namespace tarn_tool
