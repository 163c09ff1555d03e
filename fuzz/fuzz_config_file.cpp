// Fuzzes the configuration file reader: the input is the file's contents,
// parsed over a copy of the defaults; the repaired record must stay usable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/fuzz_support.h"
#include "tarn_config.h"
#include "tarn_diag.h"

namespace {

const tarn_fuzz::ScratchFile &scratch() {
    static const tarn_fuzz::ScratchFile file("fuzz_config_file");
    return file;
}

bool powerOfTwo(unsigned v) {
    return v != 0 && (v & (v - 1)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    glog_level = -1;
    scratch().write(data, size);

    ConfigOpts opts;
    std::memcpy(&opts, &constOpts, sizeof opts);
    if (parseConfigFile(scratch().path(), &opts) != 0) std::abort();

    // What the repairs guarantee to the estimators.
    if (opts.qWrap == 0 || opts.qWrap > 65536) std::abort();
    if (opts.distSF != 1000 || opts.chMax != 79 || opts.logLevel > 4) std::abort();
    if (opts.pctPrior > 5 || opts.fiDistanceCombiningMethod > 3) std::abort();
    if (opts.rtpSlidingWindowSize > 20 || opts.rttSlidingWindowSize > 20) std::abort();
    if (opts.rtpSlidingWindowFrameSize > 100 || opts.rttSlidingWindowFrameSize > 100) std::abort();
    if (!powerOfTwo(opts.ifftSize) || opts.ifftSize > 16384) std::abort();
    if (opts.muOrdSetLen > 7 || opts.muCovSetLen > 7 || opts.muConfFacLen > 3) std::abort();
    // Fields the file cannot set.
    if (std::memcmp(opts.calFilePath, constOpts.calFilePath, sizeof opts.calFilePath) != 0 ||
        std::memcmp(opts.calTable, constOpts.calTable, sizeof opts.calTable) != 0 ||
        std::memcmp(opts.muOrdSet, constOpts.muOrdSet, sizeof opts.muOrdSet) != 0 ||
        opts.rtpFilterType != constOpts.rtpFilterType ||
        opts.maxMusicStdDev != constOpts.maxMusicStdDev)
        std::abort();
    print_config_opts(&opts);

    // The reader's steps one by one give the same record.
    ConfigOpts steps;
    std::memcpy(&steps, &constOpts, sizeof steps);
    if (tarnReadConfigFile(scratch().path(), &steps) != 0) std::abort();
    tarnRepairConfig(&steps);
    if (std::memcmp(&steps, &opts, sizeof steps) != 0) std::abort();
    // Any text as one line: a known result, and only file-settable fields move.
    const std::string line(reinterpret_cast<const char *>(data),
                           strnlen(reinterpret_cast<const char *>(data), size));
    ConfigOpts one;
    std::memcpy(&one, &constOpts, sizeof one);
    const int r = tarnApplyConfigLine(line.c_str(), &one);
    if (r < -1 || r > 1) std::abort();
    if (r != 1 && std::memcmp(&one, &constOpts, sizeof one) != 0) std::abort();
    if (std::memcmp(one.calTable, constOpts.calTable, sizeof one.calTable) != 0) std::abort();
    return 0;
}
