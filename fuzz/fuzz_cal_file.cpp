// Fuzzes the calibration table loader: the input is the file's contents,
// loaded into a copy of the defaults.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_internal.h"
#include "support/fuzz_support.h"
#include "tarn_config.h"
#include "tarn_diag.h"

namespace {

const tarn_fuzz::ScratchFile &scratch() {
    static const tarn_fuzz::ScratchFile file("fuzz_cal_file");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    glog_level = -1;
    scratch().write(data, size);

    ConfigOpts opts;
    std::memcpy(&opts, &constOpts, sizeof opts);
    std::memset(opts.calFilePath, 0, sizeof opts.calFilePath);
    std::strcpy(opts.calFilePath, scratch().path());
    opts.applyEstimatedReverseChannel = 1;
    const int ok = csLoadCalFile(&opts);
    // Success keeps the flag, failure clears it; nothing else but the table moves.
    if (opts.applyEstimatedReverseChannel != (ok ? 1 : 0)) std::abort();
    if (std::memcmp(&opts, &constOpts, offsetof(ConfigOpts, applyEstimatedReverseChannel)) != 0)
        std::abort();
    const size_t tail = offsetof(ConfigOpts, minAllowedGconf);
    if (std::memcmp(reinterpret_cast<const char *>(&opts) + tail,
                    reinterpret_cast<const char *>(&constOpts) + tail, sizeof opts - tail) != 0)
        std::abort();
    return 0;
}
