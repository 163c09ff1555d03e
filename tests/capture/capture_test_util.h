// Helpers for the capture tests: hex strings to octets, and captures
// assembled record by record.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "btsnoop.h"
#include "importer.h"

namespace tarn_capture_test {

inline std::vector<uint8_t> hex(const std::string &s) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char ch : s) {
        if (!std::isxdigit(static_cast<unsigned char>(ch))) continue;
        const int v = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0'
                                                                   : std::tolower(ch) - 'a' + 10;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

// All procedures and the report of a capture held in memory.
struct Imported {
    bool opened = false;
    std::string why;
    std::vector<tarn_capture::ImportedProcedure> procedures;
    tarn_capture::ImportReport report;
};

inline Imported importBytes(const std::vector<uint8_t> &bytes,
                            const tarn_capture::ImportOptions &opts = {}) {
    Imported r;
    tarn_capture::CaptureImporter imp(opts);
    r.opened = imp.openMemory(bytes.data(), bytes.size(), &r.why);
    if (!r.opened) return r;
    tarn_capture::ImportedProcedure p;
    while (imp.next(&p)) r.procedures.push_back(std::move(p));
    r.report = imp.report();
    return r;
}

inline uint64_t issues(const Imported &r, tarn_capture::Issue i) {
    return r.report.issues[static_cast<int>(i)];
}

}  // namespace tarn_capture_test
