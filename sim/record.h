// Recorded procedures as JSON Lines: one procedure per line, mirroring the
// controller-level record, with the true distance where it is known.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "simulator.h"

namespace tarn_sim {

// One line (without the line end).
std::string procedureToJson(const Procedure &p, long seq = -1);
// Parses one line. On failure returns false and says why (without the line number).
bool procedureFromJson(const std::string &line, Procedure *out, std::string *why);

class RecordWriter {
  public:
    // "-" writes to standard output.
    bool open(const std::string &path, std::string *why);
    bool write(const Procedure &p);
    // Flushes; false when anything could not be written.
    bool close(std::string *why);

  private:
    std::ofstream file_;
    std::ostream *os_ = nullptr;
    std::string path_;
    long seq_ = 0;
};

class RecordReader {
  public:
    enum class Status { Ok, End, Malformed, ReadError };

    // "-" reads standard input.
    bool open(const std::string &path, std::string *why);
    // The next procedure; blank lines are skipped. On Malformed, `why` holds
    // the reason and reading can go on with the following line.
    Status next(Procedure *p, std::string *why);
    // Line number (1-based) of the line last returned.
    long lineNumber() const { return line_; }

  private:
    std::ifstream file_;
    std::istream *is_ = nullptr;
    long line_ = 0;
};

}  // namespace tarn_sim
