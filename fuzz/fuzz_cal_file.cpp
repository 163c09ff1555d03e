// Fuzzes the calibration table loader: the input is the file's contents,
// loaded into a copy of the defaults.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_internal.h"
#include "tarn_config.h"
#include "tarn_diag.h"

namespace {

// The input lives in an in-memory file, reached by path through /proc so
// that the readers open it like any other file (no disk writes per run).
int scratchFd() {
    static const int fd = [] {
        const int f = memfd_create("fuzz_cal_file", 0);
        if (f < 0) std::abort();
        return f;
    }();
    return fd;
}

const char *scratchPath() {
    static const std::string path = "/proc/self/fd/" + std::to_string(scratchFd());
    return path.c_str();
}

void writeInput(const uint8_t *data, size_t size) {
    if (ftruncate(scratchFd(), 0) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(scratchFd(), data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    glog_level = -1;
    writeInput(data, size);

    ConfigOpts opts;
    std::memcpy(&opts, &constOpts, sizeof opts);
    std::memset(opts.calFilePath, 0, sizeof opts.calFilePath);
    std::strcpy(opts.calFilePath, scratchPath());
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
