// Captures what the library writes to the Android log. The test executables
// define __android_log_print themselves, so the library's calls land here.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarn_test {

struct LogLine {
    int prio;
    std::string tag;
    std::string text;
};

// While alive, records every log call and sets the library's threshold;
// restores the previous threshold on destruction.
class LogCapture {
  public:
    explicit LogCapture(int8_t level = 4);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const;
    std::vector<std::string> texts() const;
    // Concatenation of every captured text, in order.
    std::string joined() const;
    // Number of captured lines whose text equals `text` exactly.
    int count(const std::string &text) const;
    bool contains(const std::string &text) const { return count(text) > 0; }
    // True when some captured text contains `fragment`.
    bool containsFragment(const std::string &fragment) const;
    // Name and first number of every captured line that prints one, in order
    // ("qWrap:  65536\n" -> {"qWrap", 65536}, "-4, " -> {"", -4}); lines
    // without a number are skipped. Dump checks stand on these, not on spacing.
    std::vector<std::pair<std::string, double>> values() const;
    void clear();

  private:
    int8_t saved_;
};

}  // namespace tarn_test
