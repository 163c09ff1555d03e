// Helpers shared by the fuzz targets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tarn_interface.h"

namespace tarn_fuzz {

// An in-memory file reached by path through /proc, so that the file readers
// open the input like any other file without a disk write per run.
class ScratchFile {
  public:
    explicit ScratchFile(const char *name) : fd_(memfd_create(name, 0)) {
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    const char *path() const { return path_.c_str(); }
    void write(const uint8_t *data, size_t size) const {
        if (ftruncate(fd_, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
    }

  private:
    int fd_;
    std::string path_;
};

inline void ignoreResult(CsEstimate *, CsRequest *) {}

// Creates the link once per process and returns its context.
inline CsContext *linkContext(CsLinkRef link) {
    static CsInitRecord rec = {ignoreResult};
    csIfInit(link, &rec);
    CsContextItem *item = csContextListGetItem(link);
    if (item == nullptr) std::abort();
    return item->ctx;
}

}  // namespace tarn_fuzz
