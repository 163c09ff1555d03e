// Helpers shared by the configuration tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/option_rules.h"
#include "tarn_config.h"

namespace cfgtest {

// A field's storage width, as the option list names it.
using T = tarn_cfg::Type;
using tarn_cfg::widthOf;

// Reads the field of type t at byte offset off straight from the record's bytes.
inline double fieldAt(const ConfigOpts &o, size_t off, T t) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&o) + off;
    switch (t) {
        case T::U8: {
            uint8_t v;
            std::memcpy(&v, p, 1);
            return v;
        }
        case T::I8: {
            int8_t v;
            std::memcpy(&v, p, 1);
            return v;
        }
        case T::U16: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case T::U32: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case T::I32: {
            int32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case T::F64: {
            double v;
            std::memcpy(&v, p, 8);
            return v;
        }
    }
    return 0;
}

// A file with the given bytes, removed when the object goes.
class TempFile {
  public:
    explicit TempFile(const std::string &contents) {
        const char *dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/tarn_cfg_XXXXXX";
        const int fd = mkstemp(&path_[0]);
        if (fd < 0) std::abort();
        size_t done = 0;
        while (done < contents.size()) {
            const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const char *path() const { return path_.c_str(); }

  private:
    std::string path_;
};

inline ConfigOpts defaults() {
    ConfigOpts o;
    std::memcpy(&o, &constOpts, sizeof o);
    return o;
}

// Parses `text` as a configuration file over `o`.
inline int parseText(const std::string &text, ConfigOpts *o) {
    TempFile f(text);
    return parseConfigFile(f.path(), o);
}

}  // namespace cfgtest
