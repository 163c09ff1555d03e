// Runs the tool's command line in-process, as `tarn ARGS...`, and keeps what
// it printed.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli.h"

inline int runTarn(std::vector<std::string> args, std::string *out = nullptr,
                   std::string *err = nullptr) {
    args.insert(args.begin(), "tarn");
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    std::ostringstream o, e;
    const int rc = tarn_tool::runTool(static_cast<int>(argv.size()), argv.data(), {o, e, false});
    if (out != nullptr) *out = o.str();
    if (err != nullptr) *err = e.str();
    return rc;
}
