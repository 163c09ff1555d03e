#include "record.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace tarn_sim {

namespace {

using Json = nlohmann::json;
using OJson = nlohmann::ordered_json;

OJson stepToJson(const Step &s) {
    OJson j;
    j["channel"] = s.channel;
    j["mode"] = s.mode;
    if (s.mode == 0) {
        j["aaQual"] = s.aaQual;
        j["rssi"] = s.rssi;
        j["freqOff"] = s.freqOff;
    }
    if (s.mode == 1 || s.mode == 3) {
        j["aaQual"] = s.aaQual;
        j["security"] = s.security;
        j["rssi"] = s.rssi;
        j["timeEst"] = s.timeEst;
        j["antenna"] = s.antenna;
    }
    if (s.mode == 2 || s.mode == 3) {
        j["antPerm"] = s.antPerm;
        OJson tones = OJson::array(), quals = OJson::array();
        for (const Tone &t : s.tones) {
            tones.push_back({t.i, t.q});
            quals.push_back(t.qual);
        }
        j["tones"] = std::move(tones);
        j["toneQual"] = std::move(quals);
    }
    if (s.aborted != 0) j["aborted"] = s.aborted;
    return j;
}

OJson timingToJson(const StepTiming &t) {
    OJson j;
    j["tFcsUs"] = t.tFcsUs;
    j["tIp1Us"] = t.tIp1Us;
    j["tIp2Us"] = t.tIp2Us;
    j["tPmUs"] = t.tPmUs;
    j["tSwUs"] = t.tSwUs;
    j["phy"] = t.phy;
    j["rttType"] = t.rttType;
    return j;
}

OJson subeventsToJson(const std::vector<Subevent> &list) {
    OJson arr = OJson::array();
    for (const Subevent &se : list) {
        OJson j;
        j["rpl"] = se.rpl;
        j["nap"] = se.nap;
        j["aborted"] = se.aborted;
        j["timestampNs"] = se.timestampNs;
        OJson steps = OJson::array();
        for (const Step &s : se.steps) steps.push_back(stepToJson(s));
        j["steps"] = std::move(steps);
        arr.push_back(std::move(j));
    }
    return arr;
}

// Integer JSON value as int64; unsigned values beyond int64 saturate.
int64_t asInt64(const Json &v) {
    if (v.is_number_unsigned())
        return static_cast<int64_t>(std::min<uint64_t>(v.get<uint64_t>(), uint64_t(INT64_MAX)));
    return v.get<int64_t>();
}

// Reading: every accessor names the offending field in `why`.
class Parser {
  public:
    explicit Parser(std::string *why) : why_(why) {}

    bool fail(const std::string &where, const std::string &what) {
        *why_ = where + ": " + what;
        return false;
    }

    // Integer member in [lo, hi]; absent members take `dflt` unless required.
    template <typename T>
    bool integer(const Json &obj, const char *key, const std::string &where, int64_t lo, int64_t hi,
                 bool required, T *out, T dflt = 0) {
        auto it = obj.find(key);
        const std::string at = where + "." + key;
        if (it == obj.end()) {
            if (required) return fail(at, "missing");
            *out = dflt;
            return true;
        }
        if (!it->is_number_integer()) return fail(at, "expected an integer");
        if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
            return fail(at, "out of range " + std::to_string(lo) + ".." + std::to_string(hi) +
                                " (" + it->dump() + ")");
        const int64_t v = asInt64(*it);
        if (v < lo || v > hi)
            return fail(at, "out of range " + std::to_string(lo) + ".." + std::to_string(hi) +
                                " (" + std::to_string(v) + ")");
        *out = static_cast<T>(v);
        return true;
    }

    bool tones(const Json &obj, const std::string &where, Step *s) {
        auto t = obj.find("tones");
        auto q = obj.find("toneQual");
        if (t == obj.end()) return fail(where + ".tones", "missing");
        if (q == obj.end()) return fail(where + ".toneQual", "missing");
        if (!t->is_array()) return fail(where + ".tones", "expected an array of [I, Q] pairs");
        if (!q->is_array()) return fail(where + ".toneQual", "expected an array of integers");
        if (t->size() != q->size())
            return fail(where, "tones and toneQual differ in length (" + std::to_string(t->size()) +
                                   " and " + std::to_string(q->size()) + ")");
        if (t->size() > kMaxTonesPerStep)
            return fail(where + ".tones",
                        "more than " + std::to_string(kMaxTonesPerStep) + " tones");
        for (size_t k = 0; k < t->size(); ++k) {
            const Json &pair = (*t)[k];
            const std::string at = where + ".tones[" + std::to_string(k) + "]";
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() ||
                !pair[1].is_number_integer())
                return fail(at, "expected an [I, Q] pair of integers");
            Tone tone;
            for (int c = 0; c < 2; ++c) {
                const int64_t v = asInt64(pair[c]);
                if (v < INT32_MIN || v > INT32_MAX) return fail(at, "value out of 32-bit range");
                (c == 0 ? tone.i : tone.q) = static_cast<int32_t>(v);
            }
            const Json &qual = (*q)[k];
            if (!qual.is_number_integer() || asInt64(qual) < 0 || asInt64(qual) > 255)
                return fail(where + ".toneQual[" + std::to_string(k) + "]",
                            "expected an integer 0..255");
            tone.qual = static_cast<uint8_t>(asInt64(qual));
            s->tones.push_back(tone);
        }
        return true;
    }

    bool step(const Json &j, const std::string &where, Step *s) {
        if (!j.is_object()) return fail(where, "expected an object");
        if (!integer(j, "channel", where, 0, 255, true, &s->channel)) return false;
        if (!integer(j, "mode", where, 0, 255, true, &s->mode)) return false;
        if (s->mode == 0) {
            if (!integer(j, "aaQual", where, 0, 255, false, &s->aaQual) ||
                !integer(j, "rssi", where, -128, 127, false, &s->rssi) ||
                !integer(j, "freqOff", where, INT32_MIN, INT32_MAX, false, &s->freqOff))
                return false;
        }
        if (s->mode == 1 || s->mode == 3) {
            if (!integer(j, "aaQual", where, 0, 255, false, &s->aaQual) ||
                !integer(j, "security", where, 0, 255, false, &s->security) ||
                !integer(j, "rssi", where, -128, 127, false, &s->rssi) ||
                !integer(j, "timeEst", where, INT32_MIN, INT32_MAX, true, &s->timeEst) ||
                !integer(j, "antenna", where, 0, 255, false, &s->antenna))
                return false;
        }
        if (s->mode == 2 || s->mode == 3) {
            if (!integer(j, "antPerm", where, 0, 255, true, &s->antPerm)) return false;
            if (!tones(j, where, s)) return false;
        }
        return integer(j, "aborted", where, 0, 1, false, &s->aborted);
    }

    // Only the fields' ranges are checked here; whether a combination is one
    // the CS configuration allows is the library's to judge.
    bool timing(const Json &root, StepTiming *t) {
        auto it = root.find("timing");
        if (it == root.end() || it->is_null()) return true;
        if (!it->is_object()) return fail("timing", "expected an object");
        const std::string where = "timing";
        return integer(*it, "tFcsUs", where, 0, 65535, true, &t->tFcsUs) &&
               integer(*it, "tIp1Us", where, 0, 65535, true, &t->tIp1Us) &&
               integer(*it, "tIp2Us", where, 0, 65535, true, &t->tIp2Us) &&
               integer(*it, "tPmUs", where, 0, 65535, true, &t->tPmUs) &&
               integer(*it, "tSwUs", where, 0, 255, false, &t->tSwUs) &&
               integer(*it, "phy", where, 0, 255, false, &t->phy) &&
               integer(*it, "rttType", where, 0, 255, false, &t->rttType);
    }

    bool subevents(const Json &root, const char *key, std::vector<Subevent> *out) {
        auto it = root.find(key);
        if (it == root.end()) return fail(key, "missing");
        if (!it->is_array()) return fail(key, "expected an array of subevents");
        if (it->size() > kMaxSubeventsPerSide)
            return fail(key, "more than " + std::to_string(kMaxSubeventsPerSide) + " subevents");
        for (size_t k = 0; k < it->size(); ++k) {
            const Json &j = (*it)[k];
            const std::string where = std::string(key) + "[" + std::to_string(k) + "]";
            if (!j.is_object()) return fail(where, "expected an object");
            Subevent se;
            if (!integer(j, "rpl", where, 0, 255, false, &se.rpl) ||
                !integer(j, "nap", where, -128, 127, true, &se.nap) ||
                !integer(j, "aborted", where, -128, 127, false, &se.aborted) ||
                !integer(j, "timestampNs", where, INT64_MIN, INT64_MAX, true, &se.timestampNs))
                return false;
            auto steps = j.find("steps");
            if (steps == j.end()) return fail(where + ".steps", "missing");
            if (!steps->is_array()) return fail(where + ".steps", "expected an array of steps");
            if (steps->size() > kMaxStepsPerSubevent)
                return fail(where + ".steps",
                            "more than " + std::to_string(kMaxStepsPerSubevent) + " steps");
            for (size_t s = 0; s < steps->size(); ++s) {
                Step st;
                if (!step((*steps)[s], where + ".steps[" + std::to_string(s) + "]", &st))
                    return false;
                se.steps.push_back(std::move(st));
            }
            out->push_back(std::move(se));
        }
        return true;
    }

    // Bounds that keep a hostile file from exhausting memory; far above what a
    // controller reports.
    static constexpr size_t kMaxTonesPerStep = 16;
    static constexpr size_t kMaxSubeventsPerSide = 256;
    static constexpr size_t kMaxStepsPerSubevent = 1024;

  private:
    std::string *why_;
};

}  // namespace

std::string procedureToJson(const Procedure &p, long seq) {
    OJson j;
    if (seq >= 0) j["seq"] = seq;
    if (p.hasTruth())
        j["trueDistance"] = p.trueDistance;
    else
        j["trueDistance"] = nullptr;
    if (p.timing.known()) j["timing"] = timingToJson(p.timing);
    j["initiator"] = subeventsToJson(p.initiator);
    j["reflector"] = subeventsToJson(p.reflector);
    return j.dump();
}

bool procedureFromJson(const std::string &line, Procedure *out, std::string *why) {
    Json root;
    try {
        root = Json::parse(line);
    } catch (const Json::parse_error &e) {
        // The library's text starts with its own error tag; keep the readable part.
        std::string msg = e.what();
        const size_t cut = msg.find("] ");
        *why = "not valid JSON: " + (cut == std::string::npos ? msg : msg.substr(cut + 2));
        return false;
    }
    if (!root.is_object()) {
        *why = "expected a JSON object";
        return false;
    }
    Procedure p;
    auto truth = root.find("trueDistance");
    if (truth != root.end() && !truth->is_null()) {
        if (!truth->is_number() || !std::isfinite(truth->get<double>())) {
            *why = "trueDistance: expected a number or null";
            return false;
        }
        p.trueDistance = truth->get<double>();
    }
    Parser parser(why);
    if (!parser.timing(root, &p.timing) || !parser.subevents(root, "initiator", &p.initiator) ||
        !parser.subevents(root, "reflector", &p.reflector))
        return false;
    *out = std::move(p);
    return true;
}

bool RecordWriter::open(const std::string &path, std::string *why) {
    path_ = path;
    seq_ = 0;
    if (path == "-") {
        os_ = &std::cout;
        return true;
    }
    file_.open(path, std::ios::out | std::ios::trunc);
    if (!file_) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    os_ = &file_;
    return true;
}

bool RecordWriter::write(const Procedure &p) {
    if (os_ == nullptr) return false;
    *os_ << procedureToJson(p, seq_++) << '\n';
    return static_cast<bool>(*os_);
}

bool RecordWriter::close(std::string *why) {
    if (os_ == nullptr) return true;
    os_->flush();
    bool ok = static_cast<bool>(*os_);
    if (os_ == &file_) {
        file_.close();
        ok = ok && !file_.fail();
    }
    os_ = nullptr;
    if (!ok) *why = "error writing " + path_;
    return ok;
}

bool RecordReader::open(const std::string &path, std::string *why) {
    line_ = 0;
    if (path == "-") {
        is_ = &std::cin;
        return true;
    }
    // A directory opens like a file but reads as empty.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = "cannot read " + path + ": it is a directory";
        return false;
    }
    file_.open(path, std::ios::in);
    if (!file_) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    is_ = &file_;
    return true;
}

RecordReader::Status RecordReader::next(Procedure *p, std::string *why) {
    if (is_ == nullptr) return Status::End;
    std::string line;
    while (true) {
        if (!std::getline(*is_, line)) {
            if (is_->bad()) {
                *why = "read error";
                return Status::ReadError;
            }
            return Status::End;
        }
        ++line_;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) break;
    }
    return procedureFromJson(line, p, why) ? Status::Ok : Status::Malformed;
}

}  // namespace tarn_sim
