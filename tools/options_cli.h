// The library's options from the command line: --config FILE (the library's
// own configuration-file reader and repairs), --set KEY=VALUE and --cal FILE
// (the library's own calibration-table loader), applied on top of the
// options a new link gets, and the table `tarn options` prints.
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli.h"
#include "tarn_config.h"
#include "tarn_interface.h"

namespace tarn_tool {

struct OptionArgs {
    std::string config;             // --config FILE
    std::vector<std::string> sets;  // --set KEY=VALUE, in order
    std::string cal;                // --cal FILE
    bool empty() const { return config.empty() && sets.empty() && cal.empty(); }
};
void addOptionFlags(CLI::App *app, OptionArgs *a);

// Where a field's value came from.
enum class OptionSource { Default, Platform, Config, ConfigRepaired, Set, Cal, Tool };
const char *optionSourceName(OptionSource s);

struct EffectiveOptions {
    ConfigOpts base{};                 // what link creation gave (defaults, platform files)
    ConfigOpts opts{};                 // what the link computes with
    std::vector<OptionSource> source;  // per row of optionRows()
    std::vector<std::string> notes;    // repairs and the like, one line each
    std::string calFile;               // the table's file, when one was loaded
};

// One row of the options table: a field (or list) of ConfigOpts.
struct OptionRow {
    std::string name;   // field name, e.g. "fiMinConf", "disCal[0]", "muOrdSet"
    std::string key;    // configuration-file key ("" when a file cannot set it)
    std::string unit;   // e.g. "m", "s", "%"; "-" for switches and modes, "" for the lists
    std::string range;  // accepted values, and a host record's further bound ("" for the lists)
};
const std::vector<OptionRow> &optionRows();
// The row's value in `o`, as printed.
std::string optionValue(const ConfigOpts &o, size_t row);

// Applies --config, --set and --cal to `base` (in that order). On a bad file,
// key or value returns a message naming it, and `out` is not to be used.
std::string buildOptions(const OptionArgs &a, const ConfigOpts &base, EffectiveOptions *out);

// Marks `row` (by name) as set by the tool itself (e.g. calibrate's options).
void markToolSet(EffectiveOptions *e, const std::string &name);

// name, key, value, default, source, unit, range; then the notes.
void printOptionsTable(std::ostream &os, const EffectiveOptions &e);

// The options a fresh link gets (defaults and the platform's files), read
// back through tarnGetLinkOptions from a link created for the purpose.
bool linkCreationOptions(ConfigOpts *out, std::string *why);

// `tarn options`
// `tarn options`; logLevel >= 0 lets the library log the link's creation.
int cmdOptions(ToolIo io, const OptionArgs &a, int logLevel = -1);

}  // namespace tarn_tool
