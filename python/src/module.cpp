// The extension module behind the Python package `tarn`: procedures as numpy
// arrays (from the simulator, JSON Lines files and snoop captures, or built
// by the caller), links driven through the library's host functions by the
// tool's own session code, and the tool's evaluation matrix.
//
// Everything the caller hands in is checked here before it reaches the
// library: a wrong shape, type or range raises ValueError naming the field.
// Refusals of the library raise tarn.Refused with the reason the library
// logged on the calling thread (the library says why only in its log, so the
// module installs itself as liblog's logger and keeps what each host call
// logged at the error level).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#ifdef TARN_PY_LIBLOG
#include <android/log.h>
#endif

#include "baselines.h"
#include "evaluate.h"
#include "import.h"
#include "motion.h"
#include "options_cli.h"
#include "record.h"
#include "session.h"
#include "simulator.h"
#include "tarn_diag.h"
#include "tarn_interface.h"
#include "writer.h"

namespace py = pybind11;
using namespace tarn_sim;

namespace {

constexpr int kToneSlots = 5;  // NAP + 1 tones at most

// ---- The library's log ----------------------------------------------------------
// The library writes a message only when its level is at most glog_level;
// level 1 (errors, the reasons of refusals) arrives with priority 6, level 0
// (results and key events) with 4. The threshold is kept at 1 or more so the
// reasons are always written; what the user asked for decides what reaches
// stderr.

std::atomic<int> gUserLevel{-1};  // -1: nothing to stderr
thread_local std::vector<std::string> *tCapture = nullptr;
constexpr int kPrioError = 6;

void applyLogThreshold() {
    const int user = gUserLevel.load();
    set_log_level(static_cast<int8_t>(user > 1 ? user : 1));
}

#ifdef TARN_PY_LIBLOG
void onLog(const __android_logger_data *d, const char *msg) {
    std::string text(msg != nullptr ? msg : "");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (tCapture != nullptr && d->priority >= kPrioError) tCapture->push_back(text);
    const int user = gUserLevel.load(std::memory_order_relaxed);
    if (user >= 1 || (user == 0 && d->priority < kPrioError))
        std::fprintf(stderr, "%s: %s\n", d->tag != nullptr ? d->tag : "", text.c_str());
}
#endif

// Collects the library's error-level messages of this thread while alive.
class LogCapture {
  public:
    LogCapture() : saved_(tCapture) { tCapture = &lines_; }
    ~LogCapture() { tCapture = saved_; }
    std::string reason(const std::string &what) const {
        std::string r = what;
        if (!lines_.empty()) {
            r += ": ";
            for (size_t i = 0; i < lines_.size(); ++i) r += (i ? "; " : "") + lines_[i];
        }
        return r;
    }

  private:
    std::vector<std::string> lines_;
    std::vector<std::string> *saved_;
};

PyObject *gRefused = nullptr;  // tarn.Refused

[[noreturn]] void refuse(const std::string &why) {
    PyErr_SetString(gRefused, why.c_str());
    throw py::error_already_set();
}

// ---- Procedures <-> arrays --------------------------------------------------------

template <class T>
py::array_t<T> vecArray(const std::vector<T> &v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(T));
    return a;
}

// One side's subevents as flat per-step arrays plus per-subevent arrays.
py::dict sideArrays(const std::vector<Subevent> &side) {
    size_t n = 0;
    for (const Subevent &s : side) n += s.steps.size();
    std::vector<int32_t> sub(n), freqOff(n), toa(n);
    std::vector<uint8_t> channel(n), mode(n), aaQual(n), security(n), antenna(n), antPerm(n),
        aborted(n), nTones(n);
    std::vector<int8_t> rssi(n);
    py::array_t<std::complex<double>> tones({static_cast<py::ssize_t>(n), py::ssize_t{kToneSlots}});
    py::array_t<uint8_t> toneQual({static_cast<py::ssize_t>(n), py::ssize_t{kToneSlots}});
    auto t = tones.mutable_unchecked<2>();
    auto q = toneQual.mutable_unchecked<2>();
    std::vector<int64_t> ts(side.size());
    std::vector<uint8_t> rpl(side.size());
    std::vector<int8_t> nap(side.size()), seAborted(side.size());
    size_t k = 0;
    for (size_t s = 0; s < side.size(); ++s) {
        const Subevent &se = side[s];
        ts[s] = se.timestampNs;
        rpl[s] = se.rpl;
        nap[s] = se.nap;
        seAborted[s] = se.aborted;
        for (const Step &st : se.steps) {
            sub[k] = static_cast<int32_t>(s);
            channel[k] = st.channel;
            mode[k] = st.mode;
            aaQual[k] = st.aaQual;
            rssi[k] = st.rssi;
            freqOff[k] = st.freqOff;
            security[k] = st.security;
            toa[k] = st.timeEst;
            antenna[k] = st.antenna;
            antPerm[k] = st.antPerm;
            aborted[k] = st.aborted;
            const size_t nt = std::min<size_t>(st.tones.size(), kToneSlots);
            nTones[k] = static_cast<uint8_t>(nt);
            for (size_t j = 0; j < kToneSlots; ++j) {
                if (j < nt) {
                    t(k, j) = std::complex<double>(st.tones[j].i, st.tones[j].q);
                    q(k, j) = st.tones[j].qual;
                } else {
                    t(k, j) = 0.0;
                    q(k, j) = 0;
                }
            }
            ++k;
        }
    }
    py::dict d;
    d["subevent"] = vecArray(sub);
    d["channel"] = vecArray(channel);
    d["mode"] = vecArray(mode);
    d["aa_qual"] = vecArray(aaQual);
    d["rssi"] = vecArray(rssi);
    d["freq_off"] = vecArray(freqOff);
    d["security"] = vecArray(security);
    d["toa_tod"] = vecArray(toa);
    d["antenna"] = vecArray(antenna);
    d["ant_perm"] = vecArray(antPerm);
    d["aborted"] = vecArray(aborted);
    d["n_tones"] = vecArray(nTones);
    d["tones"] = tones;
    d["tone_qual"] = toneQual;
    d["timestamp_ns"] = vecArray(ts);
    d["rpl"] = vecArray(rpl);
    d["nap"] = vecArray(nap);
    d["subevent_aborted"] = vecArray(seAborted);
    return d;
}

py::object timingTuple(const StepTiming &t) {
    if (!t.known()) return py::none();
    return py::make_tuple(t.tFcsUs, t.tIp1Us, t.tIp2Us, t.tPmUs, t.tSwUs, t.phy, t.rttType);
}

// (initiator arrays, reflector arrays, true distance, timing or None)
py::tuple procedureParts(const Procedure &p) {
    return py::make_tuple(sideArrays(p.initiator), sideArrays(p.reflector), p.trueDistance,
                          timingTuple(p.timing));
}

std::string fieldName(const char *side, const char *name) {
    return std::string(side) + "." + name;
}

// An integer field of a side as int64 values, each checked against [lo, hi].
std::vector<int64_t> intField(py::handle obj, const char *side, const char *name, py::ssize_t n,
                              int64_t lo, int64_t hi) {
    py::object v = obj.attr(name);
    py::array_t<int64_t, py::array::c_style | py::array::forcecast> a;
    try {
        a = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(v);
    } catch (const py::error_already_set &) {
    }
    if (!a || a.ndim() != 1 || (n >= 0 && a.shape(0) != n))
        throw py::value_error(fieldName(side, name) + " must be a 1-d integer array" +
                              (n >= 0 ? " of " + std::to_string(n) + " values" : ""));
    std::vector<int64_t> out(static_cast<size_t>(a.shape(0)));
    const char kind = py::array::ensure(v).dtype().kind();
    if (kind == 'i' || kind == 'u') {
        auto u = a.unchecked<1>();
        for (py::ssize_t i = 0; i < a.shape(0); ++i) {
            if (u(i) < lo || u(i) > hi)
                throw py::value_error(fieldName(side, name) + "[" + std::to_string(i) + "] = " +
                                      std::to_string(u(i)) + " is not an integer in " +
                                      std::to_string(lo) + ".." + std::to_string(hi));
            out[static_cast<size_t>(i)] = u(i);
        }
        return out;
    }
    // Reals (and anything else numpy converts) must hold whole numbers.
    py::array_t<double, py::array::c_style | py::array::forcecast> asReal =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(v);
    for (py::ssize_t i = 0; i < a.shape(0); ++i) {
        const double r = asReal.at(i);
        if (!std::isfinite(r) || r != std::floor(r) || r < static_cast<double>(lo) ||
            r > static_cast<double>(hi))
            throw py::value_error(fieldName(side, name) + "[" + std::to_string(i) + "] = " +
                                  py::str(py::float_(r)).cast<std::string>() +
                                  " is not an integer in " + std::to_string(lo) + ".." +
                                  std::to_string(hi));
        out[static_cast<size_t>(i)] = a.at(i);
    }
    return out;
}

template <class T>
std::vector<int64_t> typedField(py::handle obj, const char *side, const char *name,
                                py::ssize_t n) {
    // Arrays already of the wire type (what the readers and the simulator
    // give) need no range checks.
    py::object v = obj.attr(name);
    if (py::isinstance<py::array_t<T>>(v)) {
        auto a = py::reinterpret_borrow<py::array_t<T>>(v);
        if (a.ndim() == 1 && (n < 0 || a.shape(0) == n)) {
            std::vector<int64_t> out(static_cast<size_t>(a.shape(0)));
            auto u = a.template unchecked<1>();
            for (py::ssize_t i = 0; i < a.shape(0); ++i) out[static_cast<size_t>(i)] = u(i);
            return out;
        }
    }
    return intField(obj, side, name, n, std::numeric_limits<T>::min(),
                    std::numeric_limits<T>::max());
}

std::vector<Subevent> sideFromArrays(py::handle obj, const char *side) {
    const std::vector<int64_t> ts = typedField<int64_t>(obj, side, "timestamp_ns", -1);
    const py::ssize_t m = static_cast<py::ssize_t>(ts.size());
    if (m > kMaxSubevents)
        throw py::value_error(std::string(side) + " has " + std::to_string(m) +
                              " subevents; at most " + std::to_string(kMaxSubevents));
    const auto rpl = typedField<uint8_t>(obj, side, "rpl", m);
    const auto nap = typedField<int8_t>(obj, side, "nap", m);
    const auto seAborted = typedField<int8_t>(obj, side, "subevent_aborted", m);
    const auto sub = intField(obj, side, "subevent", -1, 0, m > 0 ? m - 1 : -1);
    const py::ssize_t n = static_cast<py::ssize_t>(sub.size());
    for (size_t i = 1; i < sub.size(); ++i)
        if (sub[i] < sub[i - 1])
            throw py::value_error(fieldName(side, "subevent") +
                                  " must not decrease (steps in reporting order)");
    const auto channel = typedField<uint8_t>(obj, side, "channel", n);
    const auto mode = typedField<uint8_t>(obj, side, "mode", n);
    const auto aaQual = typedField<uint8_t>(obj, side, "aa_qual", n);
    const auto rssi = typedField<int8_t>(obj, side, "rssi", n);
    const auto freqOff = typedField<int32_t>(obj, side, "freq_off", n);
    const auto security = typedField<uint8_t>(obj, side, "security", n);
    const auto toa = typedField<int32_t>(obj, side, "toa_tod", n);
    const auto antenna = typedField<uint8_t>(obj, side, "antenna", n);
    const auto antPerm = typedField<uint8_t>(obj, side, "ant_perm", n);
    const auto aborted = typedField<uint8_t>(obj, side, "aborted", n);
    const auto nTones = intField(obj, side, "n_tones", n, 0, kToneSlots);

    auto tones = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>::ensure(
        obj.attr("tones"));
    if (!tones || tones.ndim() != 2 || tones.shape(0) != n || tones.shape(1) < 1 ||
        tones.shape(1) > kToneSlots)
        throw py::value_error(fieldName(side, "tones") + " must be a complex array of shape (" +
                              std::to_string(n) + ", slots) with 1 to 5 slots");
    auto qual = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
        obj.attr("tone_qual"));
    if (!qual || qual.ndim() != 2 || qual.shape(0) != n || qual.shape(1) != tones.shape(1))
        throw py::value_error(fieldName(side, "tone_qual") + " must have the shape of tones");
    auto tv = tones.unchecked<2>();
    auto qv = qual.unchecked<2>();

    std::vector<Subevent> out(static_cast<size_t>(m));
    for (py::ssize_t s = 0; s < m; ++s) {
        out[s].timestampNs = ts[s];
        out[s].rpl = static_cast<uint8_t>(rpl[s]);
        out[s].nap = static_cast<int8_t>(nap[s]);
        out[s].aborted = static_cast<int8_t>(seAborted[s]);
    }
    for (py::ssize_t k = 0; k < n; ++k) {
        Subevent &se = out[static_cast<size_t>(sub[k])];
        if (static_cast<int>(se.steps.size()) >= kMaxSteps)
            throw py::value_error(std::string(side) + " subevent " + std::to_string(sub[k]) +
                                  " has more than " + std::to_string(kMaxSteps) + " steps");
        Step st;
        st.channel = static_cast<uint8_t>(channel[k]);
        st.mode = static_cast<uint8_t>(mode[k]);
        st.aaQual = static_cast<uint8_t>(aaQual[k]);
        st.rssi = static_cast<int8_t>(rssi[k]);
        st.freqOff = static_cast<int32_t>(freqOff[k]);
        st.security = static_cast<uint8_t>(security[k]);
        st.timeEst = static_cast<int32_t>(toa[k]);
        st.antenna = static_cast<uint8_t>(antenna[k]);
        st.antPerm = static_cast<uint8_t>(antPerm[k]);
        st.aborted = static_cast<uint8_t>(aborted[k]);
        if (nTones[k] > tones.shape(1))
            throw py::value_error(fieldName(side, "n_tones") + "[" + std::to_string(k) +
                                  "] exceeds the tone slots");
        for (int64_t j = 0; j < nTones[k]; ++j) {
            const std::complex<double> z = tv(k, j);
            const double lim = static_cast<double>(std::numeric_limits<int32_t>::max());
            if (!std::isfinite(z.real()) || !std::isfinite(z.imag()) || std::fabs(z.real()) > lim ||
                std::fabs(z.imag()) > lim)
                throw py::value_error(fieldName(side, "tones") + "[" + std::to_string(k) + ", " +
                                      std::to_string(j) + "] is not a finite 32-bit I/Q value");
            const int64_t qq = qv(k, j);
            if (qq < 0 || qq > 255)
                throw py::value_error(fieldName(side, "tone_qual") + "[" + std::to_string(k) +
                                      ", " + std::to_string(j) + "] is not in 0..255");
            Tone tone;
            tone.i = static_cast<int32_t>(std::lround(z.real()));
            tone.q = static_cast<int32_t>(std::lround(z.imag()));
            tone.qual = static_cast<uint8_t>(qq);
            st.tones.push_back(tone);
        }
        se.steps.push_back(std::move(st));
    }
    return out;
}

StepTiming timingFromObject(py::handle t) {
    StepTiming st;
    if (t.is_none()) return st;
    py::tuple v = py::tuple(py::reinterpret_borrow<py::object>(t));
    if (v.size() != 7) throw py::value_error("timing must hold 7 values");
    auto get = [&](size_t i, int64_t hi, const char *name) -> int64_t {
        const double d = v[i].cast<double>();
        if (!std::isfinite(d) || d < 0 || d > static_cast<double>(hi) || d != std::floor(d))
            throw py::value_error(std::string("timing.") + name + " is not an integer in 0.." +
                                  std::to_string(hi));
        return static_cast<int64_t>(d);
    };
    st.tFcsUs = static_cast<uint16_t>(get(0, 65535, "t_fcs_us"));
    st.tIp1Us = static_cast<uint16_t>(get(1, 65535, "t_ip1_us"));
    st.tIp2Us = static_cast<uint16_t>(get(2, 65535, "t_ip2_us"));
    st.tPmUs = static_cast<uint16_t>(get(3, 65535, "t_pm_us"));
    st.tSwUs = static_cast<uint8_t>(get(4, 255, "t_sw_us"));
    st.phy = static_cast<uint8_t>(get(5, 255, "phy"));
    st.rttType = static_cast<uint8_t>(get(6, 255, "rtt_type"));
    return st;
}

// A Python Procedure (tarn.Procedure or anything with its attributes).
Procedure procedureFromObject(py::handle obj) {
    Procedure p;
    p.initiator = sideFromArrays(obj.attr("initiator"), "initiator");
    p.reflector = sideFromArrays(obj.attr("reflector"), "reflector");
    p.trueDistance = obj.attr("true_m").cast<double>();
    p.timing = timingFromObject(py::getattr(obj, "_timing_tuple")());
    return p;
}

// ---- Readers ------------------------------------------------------------------------

class RecordIter {
  public:
    explicit RecordIter(const std::string &path) : path_(path) {
        std::string why;
        if (!reader_.open(path, &why)) throw py::value_error(why);
    }
    py::object next() {
        Procedure p;
        std::string why;
        RecordReader::Status st;
        {
            py::gil_scoped_release nogil;
            st = reader_.next(&p, &why);
        }
        if (st == RecordReader::Status::End) throw py::stop_iteration();
        if (st != RecordReader::Status::Ok) {
            const long line = reader_.lineNumber() + (st == RecordReader::Status::ReadError ? 1 : 0);
            throw py::value_error(path_ + ":" + std::to_string(line) + ": " + why);
        }
        return procedureParts(p);
    }

  private:
    std::string path_;
    RecordReader reader_;
};

class CaptureIter {
  public:
    CaptureIter(const std::string &path, const std::string &connection, bool oneSided, bool guessRas,
                const std::vector<std::string> &rasHandles, const std::string &peer,
                bool unixTime) {
        tarn_tool::CaptureReplayArgs a;
        a.path = path;
        a.opts.connection = connection;
        a.opts.oneSided = oneSided;
        a.opts.guessRas = guessRas;
        a.opts.rasHandles = rasHandles;
        a.opts.peerCapture = peer;
        a.opts.unixTime = unixTime;
        std::string why;
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = src_.open(a, &why);
        }
        if (!ok) throw py::value_error(why);
    }
    py::object next() {
        Procedure p;
        bool got;
        {
            py::gil_scoped_release nogil;
            got = src_.next(&p);
        }
        if (!got) {
            done_ = true;
            throw py::stop_iteration();
        }
        return procedureParts(p);
    }
    std::string report() const {
        if (!done_) return "";
        std::ostringstream os;
        src_.printReport(os);
        return os.str();
    }

  private:
    tarn_tool::CaptureSource src_;
    bool done_ = false;
};

void writeProcedures(const std::string &path, py::iterable procs) {
    RecordWriter w;
    std::string why;
    if (!w.open(path, &why)) throw py::value_error(why);
    for (py::handle h : procs)
        if (!w.write(procedureFromObject(h))) throw py::value_error("error writing " + path);
    if (!w.close(&why)) throw py::value_error(why);
}

void writeCapture(const std::string &path, py::iterable procs, const std::string &reflector,
                  int mtu, int dataLength, bool onDemand) {
    tarn_tool::SimCaptureArgs a;
    a.path = path;
    a.reflectorPath = reflector;
    a.mtu = mtu;
    a.dataLength = dataLength;
    a.onDemand = onDemand;
    if (mtu < 23 || mtu > 517) throw py::value_error("mtu must be 23 to 517");
    if (dataLength < 27 || dataLength > 251) throw py::value_error("data_length must be 27 to 251");
    tarn_tool::CaptureSink sink;
    std::string why;
    if (!sink.open(a, &why)) throw py::value_error(why);
    for (py::handle h : procs)
        if (!sink.write(procedureFromObject(h), &why)) throw py::value_error(why);
    if (!sink.close(&why)) throw py::value_error(why);
}

// ---- Simulator -----------------------------------------------------------------------

SimConfig simConfig(py::dict kw) {
    SimConfig c;
    auto has = [&](const char *k) { return kw.contains(k) && !kw[k].is_none(); };
    auto num = [&](const char *k, double def) { return has(k) ? kw[k].cast<double>() : def; };
    auto integer = [&](const char *k, long def) { return has(k) ? kw[k].cast<long>() : def; };
    c.snrDb = num("snr_db", 30.0);
    c.nap = static_cast<int>(integer("paths", 2));
    c.intervalS = num("interval_s", 0.1);
    c.startTimeS = num("start_time_s", 0.0);
    c.seed = static_cast<uint64_t>(integer("seed", 1));
    c.deviceSeed = has("device_seed") ? static_cast<uint64_t>(kw["device_seed"].cast<long>())
                                      : c.seed;
    const std::string map = has("channels") ? kw["channels"].cast<std::string>() : "all";
    if (!parseChannelMap(map, &c.channelMap))
        throw py::value_error("unknown channel map '" + map + "' (all, half, quarter, wifi-avoid)");
    c.subevents = static_cast<int>(integer("subevents", 4));
    c.mode0Steps = static_cast<int>(integer("mode0_steps", 3));
    c.toneMode = static_cast<int>(integer("tone_mode", 2));
    c.rttEvery = static_cast<int>(integer("rtt_every", 2));
    c.toneAmplitude = num("tone_amplitude", c.toneAmplitude);
    c.propagationMps = num("propagation_mps", c.propagationMps);
    c.jitterNs = num("jitter_ns", 3.0);
    c.deviceDelayNs = num("device_delay_ns", 0.0);
    c.failShare = num("fail_share", 0.05);
    c.unavailableShare = num("unavailable_share", 0.02);
    c.abortShare = num("abort_share", 0.0);
    c.pathSpreadM = num("path_spread_m", c.pathSpreadM);
    c.hardwareResponse = has("hardware") ? kw["hardware"].cast<bool>() : true;
    c.directAmplitude = num("direct", 1.0);
    c.reflectionSpreadM = num("reflection_spread_m", c.reflectionSpreadM);
    c.reflectionGainSpread = num("reflection_gain_spread", c.reflectionGainSpread);
    c.clockOffsetPpm = num("clock_offset_ppm", c.clockOffsetPpm);
    c.driftHz = num("drift_hz", 0.0);
    c.repeatChannels = static_cast<int>(integer("repeat_channels", 0));
    c.stepS = num("step_s", c.stepS);
    c.subeventIntervalS = num("subevent_interval_s", 0.0);
    c.attackPhaseM = num("attack_phase", 0.0);
    if (has("timing")) {
        c.timing = timingFromObject(kw["timing"]);
        // A timing the radio does not allow would time the steps by values
        // no link can have.
        const std::string fault = stepTimingFault(c.timing);
        if (!fault.empty()) throw py::value_error("timing: " + fault);
    }
    if (!std::isfinite(c.intervalS) || c.intervalS <= 0.0)
        throw py::value_error("interval_s must be positive");

    const bool hasTraj = has("trajectory");
    if (hasTraj && (has("distance") || has("speed")))
        throw py::value_error("trajectory cannot be combined with distance or speed");
    long defaultProcedures = 100;
    if (hasTraj) {
        std::vector<Trajectory::Point> pts;
        for (py::handle h : kw["trajectory"].cast<py::iterable>()) {
            py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(h));
            if (t.size() != 2) throw py::value_error("trajectory points are (seconds, metres) pairs");
            pts.push_back({t[0].cast<double>(), t[1].cast<double>()});
        }
        if (!c.trajectory.setPoints(pts))
            throw py::value_error("trajectory points need finite values and increasing times");
        defaultProcedures = static_cast<long>(std::floor(c.trajectory.duration() / c.intervalS)) + 1;
    } else if (has("speed")) {
        const long n = integer("procedures", defaultProcedures);
        c.trajectory = Trajectory::moving(num("distance", 1.0), num("speed", 0.0),
                                          static_cast<double>(n) * c.intervalS);
    } else if (has("distance")) {
        c.trajectory = Trajectory::still(num("distance", 1.0));
    } else {
        // The tool's built-in walk: 0.5 m -> 15 m -> 0.5 m at 1 m/s.
        c.trajectory = Trajectory::outAndBack(0.5, 15.0, 1.0);
        defaultProcedures = static_cast<long>(std::floor(c.trajectory.duration() / c.intervalS)) + 1;
    }
    const long n = integer("procedures", defaultProcedures);
    if (n < 0 || n > 10000000) throw py::value_error("procedures must be 0 to 10000000");
    c.procedures = static_cast<int>(n);
    if (!has("reflections")) {
        c.reflections.push_back({3.0, 0.5});
    } else {
        for (py::handle h : kw["reflections"].cast<py::iterable>()) {
            py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(h));
            if (t.size() != 2)
                throw py::value_error("reflections are (extra metres, amplitude) pairs");
            c.reflections.push_back({t[0].cast<double>(), t[1].cast<double>()});
        }
    }
    const std::string why = c.validate();
    if (!why.empty()) throw py::value_error(why);
    return c;
}

static const char *const kSimKeys[] = {
    "distance", "speed", "trajectory", "reflections", "snr_db", "paths", "procedures",
    "interval_s", "start_time_s", "seed", "device_seed", "channels", "subevents", "mode0_steps",
    "tone_mode", "rtt_every", "tone_amplitude", "propagation_mps", "jitter_ns", "device_delay_ns",
    "fail_share", "unavailable_share", "abort_share", "path_spread_m", "hardware", "direct",
    "reflection_spread_m", "reflection_gain_spread", "clock_offset_ppm", "drift_hz",
    "repeat_channels", "step_s", "subevent_interval_s", "attack_phase", "timing"};

py::list simulate(py::kwargs kw) {
    for (auto item : kw) {
        const std::string k = py::str(item.first);
        bool known = false;
        for (const char *s : kSimKeys) known = known || k == s;
        if (!known) throw py::type_error("simulate() got an unknown option '" + k + "'");
    }
    const SimConfig cfg = simConfig(py::dict(kw));
    std::vector<Procedure> procs(static_cast<size_t>(cfg.procedures));
    {
        py::gil_scoped_release nogil;
        Simulator sim(cfg);
        for (Procedure &p : procs) p = sim.next();
    }
    py::list out;
    for (const Procedure &p : procs) out.append(procedureParts(p));
    return out;
}

// ---- Links ------------------------------------------------------------------------------

struct Result {
    long seq = 0;
    double timeS = 0, trueM = NAN;
    bool accepted = false;
    std::string reason;
    double finalM = NAN, phaseM = NAN, rttM = NAN;
    int conf = -1, phaseConf = 0, rttConf = 0;
    uint32_t computation = 0;
    bool consistent = true;
    int trackingMode = 0;
    uint32_t trackFlags = 0;
    double speedMps = NAN, speedSdMps = NAN;
    int timingOrigin = -1;  // TARN_TIMING_*; -1: not reported
    double stepScale = NAN;
    uint32_t recordVersion = 0, recordSize = 0;
    std::vector<std::vector<double>> impulse;
    double tapM = NAN, firstM = NAN;
    // Integrity of the computation: standard uncertainties (metres, NaN:
    // none), TARN_INTEGRITY_* flags, the earliest path (metres, NaN: none)
    // and the combination mode the result was formed with (-1: not reported).
    double sigmaM = NAN, phaseSigmaM = NAN, rttSigmaM = NAN;
    uint32_t flags = 0;
    double firstPathM = NAN;
    int combination = -1;
};

constexpr size_t kReasonChars = 160;  // tarn.SESSION_DTYPE's reason column

// A session row in the order of tarn.SESSION_DTYPE.
py::tuple rowTuple(const Result &r) {
    return py::make_tuple(r.seq, r.timeS, r.trueM, r.rttM, r.phaseM, r.finalM, r.conf, r.rttConf,
                          r.phaseConf, r.accepted, r.computation, r.consistent, r.trackingMode,
                          r.speedMps, r.speedSdMps, r.trackFlags, r.timingOrigin, r.stepScale,
                          r.sigmaM, r.phaseSigmaM, r.rttSigmaM, r.flags, r.firstPathM,
                          r.combination, r.reason.substr(0, kReasonChars));
}

std::atomic<long> gNextLink{0x7a600000};

class Link {
  public:
    Link(const std::string &config, const std::vector<std::string> &sets, const std::string &cal,
         int tracking, int combination, const std::string &input, bool impulse, double timeoutS,
         py::object stepTiming) {
        tarn_tool::InputFormat fmt;
        if (!tarn_tool::parseInputFormat(input, &fmt))
            throw py::value_error("unknown input format '" + input + "' (v1 or v2)");
        fmt_ = fmt;
        if (!(timeoutS > 0.0)) throw py::value_error("timeout_s must be positive");
        LogCapture log;
        CsLinkRef ref;
        do {
            ref = static_cast<CsLinkRef>(gNextLink.fetch_add(1));
        } while (tarn_tool::linkKnown(ref));
        session_.reset(new tarn_tool::Session(fmt, ref));
        applyLogThreshold();
        if (!session_->ok()) refuse(log.reason(session_->error()));
        session_->setTimeout(timeoutS);
        session_->setCaptureImpulse(impulse);
        ConfigOpts base;
        std::string why;
        if (!session_->linkOptions(&base, &why)) refuse(log.reason(why));
        tarn_tool::OptionArgs oa;
        oa.config = config;
        oa.sets = sets;
        oa.cal = cal;
        why = tarn_tool::buildOptions(oa, base, &options_);
        if (!why.empty()) throw py::value_error(why);
        if (!oa.empty() && !session_->installOptions(options_.opts, &why)) refuse(log.reason(why));
        applyLogThreshold();
        if (tracking != 0 && !session_->setTrackingMode(tracking))
            refuse(log.reason(session_->error()));
        if (combination != 0 && !session_->setCombination(combination))
            refuse(log.reason(session_->error()));
        // The step timing is handed over here (refusals raise), not by the
        // session (which would count them and carry on).
        session_->setGiveTiming(false);
        ref_ = ref;
        if (py::isinstance<py::str>(stepTiming)) {
            if (stepTiming.cast<std::string>() != "procedure")
                throw py::value_error("step_timing must be a StepTiming, 'procedure' or None");
            timingFromProcedures_ = true;
        } else if (!stepTiming.is_none()) {
            const StepTiming t = timingFromObject(stepTiming);
            if (!t.known()) throw py::value_error("step_timing needs its four times");
            std::string err;
            if (!setTiming(t, &err)) refuse(err);
        }
    }

    Result process(py::handle proc) {
        open();
        return runOrRefuse(procedureFromObject(proc));
    }

    // Rows of every procedure of an iterable of Procedure objects (rows as
    // in tarn.SESSION_DTYPE); a refused procedure is a row, a link that
    // stops answering raises.
    py::list processRows(py::iterable procs) {
        open();
        py::list rows;
        for (py::handle h : procs) rows.append(rowTuple(runOrRefuse(procedureFromObject(h))));
        return rows;
    }

    // The same for a whole file, read here without the procedures ever
    // becoming arrays: JSON Lines, or the only connection of a capture.
    py::list replayFile(const std::string &path, bool capture) {
        open();
        RecordReader reader;
        tarn_tool::CaptureSource source;
        std::string why;
        bool opened;
        {
            py::gil_scoped_release nogil;
            tarn_tool::CaptureReplayArgs a;
            a.path = path;
            opened = capture ? source.open(a, &why) : reader.open(path, &why);
        }
        if (!opened) throw py::value_error(why);
        py::list rows;
        std::vector<Result> batch;
        bool ok = true, more = true;
        std::string failure;
        while (more && ok) {
            batch.clear();
            {
                py::gil_scoped_release nogil;
                Procedure p;
                // Rows go to Python a few at a time (the GIL is taken once per batch).
                while (batch.size() < 64) {
                    if (capture) {
                        more = source.next(&p);
                    } else {
                        const RecordReader::Status st = reader.next(&p, &why);
                        more = st == RecordReader::Status::Ok;
                        if (st == RecordReader::Status::Malformed ||
                            st == RecordReader::Status::ReadError) {
                            const long line = reader.lineNumber() +
                                              (st == RecordReader::Status::ReadError ? 1 : 0);
                            failure = path + ":" + std::to_string(line) + ": " + why;
                        }
                    }
                    if (!more) break;
                    batch.emplace_back();
                    if (!run(p, &batch.back())) {
                        ok = false;
                        break;
                    }
                }
            }
            for (const Result &r : batch) {
                if (!ok && &r == &batch.back()) refuse(r.reason);
                rows.append(rowTuple(r));
            }
        }
        if (!failure.empty()) throw py::value_error(failure);
        return rows;
    }

    py::dict options() const {
        py::dict d;
        const auto &rows = tarn_tool::optionRows();
        for (size_t i = 0; i < rows.size(); ++i)
            d[py::str(rows[i].name)] = tarn_tool::optionValue(options_.opts, i);
        return d;
    }
    std::vector<std::string> notes() const { return options_.notes; }
    long linkRef() const { return static_cast<long>(ref_); }
    void close() {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> g(mu_);
        session_.reset();
    }
    bool closed() const { return !session_; }

  private:
    // run() with the GIL released; raises Refused when it fails.
    Result runOrRefuse(const Procedure &p) {
        Result r;
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = run(p, &r);
        }
        if (!ok) refuse(r.reason);
        return r;
    }

    // One procedure through the link, without the GIL. False when the
    // library stopped answering or refused the step timing (reason in r).
    bool run(const Procedure &p, Result *r) {
        std::lock_guard<std::mutex> g(mu_);
        if (!session_) {
            r->reason = "the link is closed";
            return false;
        }
        LogCapture log;
        std::string err;
        if (timingFromProcedures_ && p.timing != lastTiming_ && !setTiming(p.timing, &err)) {
            r->reason = err;
            return false;
        }
        tarn_tool::SessionRow row;
        if (!session_->process(p, &row)) {
            r->reason = log.reason(session_->error());
            return false;
        }
        if (row.accepted)
            fill(r);
        else
            r->reason = log.reason("the library refused the procedure (csIfAddMeasurement" +
                                   std::string(input_v1() ? "" : "V2") + " returned 0)");
        r->seq = row.seq;
        r->timeS = row.timeS;
        r->trueM = row.trueM;
        r->accepted = row.accepted;
        if (row.finalM) r->finalM = *row.finalM;
        if (row.phaseM) r->phaseM = *row.phaseM;
        if (row.rttM) r->rttM = *row.rttM;
        r->conf = row.conf;
        r->phaseConf = row.phaseConf;
        r->rttConf = row.rttConf;
        r->computation = row.computation;
        r->consistent = row.consistent;
        if (row.accepted) {
            r->sigmaM = row.sigmaM >= 0 ? row.sigmaM : NAN;
            r->phaseSigmaM = row.phaseSigmaM >= 0 ? row.phaseSigmaM : NAN;
            r->rttSigmaM = row.rttSigmaM >= 0 ? row.rttSigmaM : NAN;
            r->flags = row.flags;
        }
        return true;
    }

    // Hands the link's step timing to the library (tarnSetStepTiming); an
    // unknown timing returns the link to "timing unknown".
    bool setTiming(const StepTiming &t, std::string *why) {
        const TarnStepTiming rec = tarn_tool::stepTimingRecord(t);
        LogCapture log;
        if (tarnSetStepTiming(ref_, &rec) != 1) {
            *why = log.reason("the library refused the step timing (tarnSetStepTiming returned 0)");
            return false;
        }
        lastTiming_ = t;
        return true;
    }

    bool input_v1() const { return fmt_ == tarn_tool::InputFormat::StepLevel; }
    void open() const {
        if (!session_) throw py::value_error("the link is closed");
    }

    void fill(Result *r) const {
        const TarnLatestComputation &c = session_->lastComputation();
        const double sf = constOpts.distSF != 0 ? constOpts.distSF : 1.0;
        r->recordVersion = c.version;
        r->recordSize = c.size;
        if (c.size >= TARN_LATEST_COMPUTATION_V2_SIZE && c.trackingMode == 1) {
            r->trackingMode = 1;
            r->trackFlags = c.trackFlags;
            r->speedMps = c.speed / sf;
            r->speedSdMps = c.speedSd >= 0 ? c.speedSd / sf : NAN;
        }
        if (c.size >= TARN_LATEST_COMPUTATION_V3_SIZE && c.trackingMode == 1) {
            r->timingOrigin = static_cast<int>(c.timingOrigin);
            r->stepScale = c.stepScale;
        }
        if (c.size >= TARN_LATEST_COMPUTATION_V4_SIZE) {
            r->combination = static_cast<int>(c.combination);
            r->firstPathM = c.firstPathM >= 0 ? c.firstPathM : NAN;
        }
        const tarn_tool::LibraryImpulse &ir = session_->lastImpulse();
        r->impulse = ir.paths;
        if (!ir.paths.empty()) {
            r->tapM = ir.tapM;
            r->firstM = ir.firstM;
        }
    }

    std::unique_ptr<tarn_tool::Session> session_;
    tarn_tool::EffectiveOptions options_;
    CsLinkRef ref_ = 0;
    tarn_tool::InputFormat fmt_ = tarn_tool::InputFormat::Procedure;
    bool timingFromProcedures_ = false;
    StepTiming lastTiming_;  // what the library was last given (unknown at first)
    std::mutex mu_;
};

py::array_t<double> impulseArray(const Result &r) {
    const size_t paths = r.impulse.size();
    const size_t n = paths ? r.impulse[0].size() : 0;
    py::array_t<double> a({static_cast<py::ssize_t>(paths), static_cast<py::ssize_t>(n)});
    auto v = a.mutable_unchecked<2>();
    for (size_t p = 0; p < paths; ++p)
        for (size_t k = 0; k < n; ++k) v(p, k) = k < r.impulse[p].size() ? r.impulse[p][k] : NAN;
    return a;
}

// ---- Evaluation ---------------------------------------------------------------------------

py::list evaluate(const std::vector<std::string> &scenarios, const std::vector<double> &distances,
                  bool walk, int tracking, int procedures, uint64_t seed, const std::string &input,
                  bool calibrated, const std::string &config, const std::vector<std::string> &sets,
                  const std::string &cal, bool integrity, const std::vector<int> &combinations,
                  const std::vector<std::string> &timings) {
    tarn_tool::EvalOptions o;
    o.scenarios = scenarios;
    o.walk = walk;
    // As the tool: the integrity matrix unless asked otherwise.
    if (integrity) tarn_tool::useIntegrityMatrix(&o);
    if (!distances.empty()) o.distances = distances;
    if (!combinations.empty()) o.combinations = combinations;
    o.timings = timings;
    o.tracking = tracking;
    o.procedures = procedures;
    o.seed = seed;
    o.calibrated = calibrated;
    if (!tarn_tool::parseInputFormat(input, &o.format))
        throw py::value_error("unknown input format '" + input + "' (v1 or v2)");
    if (procedures < 1) throw py::value_error("procedures must be at least 1");
    tarn_tool::OptionArgs oa;
    oa.config = config;
    oa.sets = sets;
    oa.cal = cal;
    if (!oa.empty()) {
        ConfigOpts base;
        std::string why;
        LogCapture log;
        if (!tarn_tool::linkCreationOptions(&base, &why)) refuse(log.reason(why));
        applyLogThreshold();
        tarn_tool::EffectiveOptions eff;
        why = tarn_tool::buildOptions(oa, base, &eff);
        if (!why.empty()) throw py::value_error(why);
        o.options = eff.opts;
    }
    std::vector<tarn_tool::EvalRow> rows;
    std::string why;
    bool ok;
    {
        py::gil_scoped_release nogil;
        LogCapture log;
        ok = tarn_tool::runEvaluation(o, &rows, &why);
        if (!ok) why = log.reason(why);
    }
    applyLogThreshold();
    if (!ok) {
        if (why.find("unknown") != std::string::npos) throw py::value_error(why);
        refuse(why);
    }
    py::list out;
    for (const tarn_tool::EvalRow &r : rows) {
        py::dict d;
        d["scenario"] = r.scenario;
        d["point"] = r.point;
        d["tracking"] = r.tracking;
        d["distance_m"] = r.distanceM;
        d["procedures"] = r.procedures;
        for (int e = 0; e < tarn_tool::kEstimators; ++e) {
            const std::string n = tarn_tool::estimatorName(static_cast<tarn_tool::Estimator>(e));
            d[py::str(n + "_n")] = r.stats[e].n;
            d[py::str(n + "_median_m")] = r.stats[e].n ? r.stats[e].median : NAN;
            d[py::str(n + "_p90_m")] = r.stats[e].n ? r.stats[e].p90 : NAN;
        }
        d["bound_m"] = r.boundM;
        d["calibrated_median_m"] = r.calibrated && r.calStats.n ? r.calStats.median : NAN;
        d["calibrated_p90_m"] = r.calibrated && r.calStats.n ? r.calStats.p90 : NAN;
        d["overshoot_m"] = r.overshootM;
        d["inconsistent"] = r.inconsistent;
        d["combination"] = tarn_tool::combinationName(r.combination);
        d["timing"] = r.timing;
        d["timing_given"] = r.timingGiven;
        const tarn_tool::IntegrityStats &st = r.integrity;
        double median, shortest;
        tarn_tool::signedSummary(st.signedErrors, &median, &shortest);
        d["signed_median_m"] = median;
        d["shortest_m"] = shortest;
        d["with_sigma"] = st.withSigma;
        d["within_sigma"] = st.withinSigma;
        d["within_2sigma"] = st.within2Sigma;
        d["manipulation_eligible"] = st.manipulationEligible;
        d["manipulation_flagged"] = st.manipulationFlagged;
        py::list flagged;
        for (size_t b = 0; b < 16; ++b) flagged.append(st.flagged[b]);
        d["flagged"] = flagged;  // per TARN_INTEGRITY_ bit
        out.append(d);
    }
    return out;
}

// Tone products per channel index and antenna path (NaN where none).
py::tuple toneProducts(py::handle proc) {
    const Procedure p = procedureFromObject(proc);
    const tarn_tool::ToneProducts tp = tarn_tool::toneProducts(p);
    const int nap = std::max(tp.nap, 0);
    py::array_t<std::complex<double>> a({py::ssize_t{tarn_tool::kChannelSlots}, py::ssize_t{nap}});
    auto v = a.mutable_unchecked<2>();
    for (int k = 0; k < tarn_tool::kChannelSlots; ++k)
        for (int j = 0; j < nap; ++j)
            v(k, j) = tp.present[k][j] ? tp.value[k][j] : std::complex<double>(NAN, NAN);
    return py::make_tuple(a, nap);
}

}  // namespace

PYBIND11_MODULE(_tarn, m) {
    m.doc() = "libtarn's extension module (use the package `tarn`).";
    gRefused = PyErr_NewExceptionWithDoc(
        "tarn.Refused",
        "The library refused a request; the message carries the reason it logged.",
        PyExc_RuntimeError, nullptr);
    m.attr("Refused") = py::handle(gRefused);
#ifdef TARN_PY_LIBLOG
    __android_log_set_logger(&onLog);
#endif
    applyLogThreshold();

    m.def("set_log_level", [](int level) {
        if (level < -1 || level > 4) throw py::value_error("log level must be -1 to 4");
        gUserLevel = level;
        applyLogThreshold();
    });
    m.def("simulate", &simulate);
    m.def("tone_products", &toneProducts);
    m.def("write_procedures", &writeProcedures);
    m.def("write_capture", &writeCapture);
    m.def("procedure_roundtrip", [](py::handle proc) { return procedureParts(procedureFromObject(proc)); });
    m.def("procedure_to_json", [](py::handle proc) { return procedureToJson(procedureFromObject(proc)); });
    m.def("evaluate", &evaluate);
    m.def("parse_timing", [](const std::string &text) -> py::object {
        StepTiming t;
        std::string why;
        if (!parseTiming(text, &t, &why))
            throw py::value_error("step timing '" + text + "' (fast, mid, phone, none or FCS,IP1,IP2,PM[,SW[,PHY[,RTT]]]): " + why);
        return timingTuple(t);
    });
    m.def("timing_fault", [](py::handle t) { return stepTimingFault(timingFromObject(t)); });
    m.def("distance_scale", [] { return constOpts.distSF != 0 ? constOpts.distSF : 1.0; });

    py::class_<RecordIter>(m, "RecordIter")
        .def(py::init<const std::string &>())
        .def("__iter__", [](RecordIter &it) -> RecordIter & { return it; })
        .def("__next__", &RecordIter::next);
    py::class_<CaptureIter>(m, "CaptureIter")
        .def(py::init<const std::string &, const std::string &, bool, bool, const std::vector<std::string> &,
                      const std::string &, bool>())
        .def("__iter__", [](CaptureIter &it) -> CaptureIter & { return it; })
        .def("__next__", &CaptureIter::next)
        .def("report", &CaptureIter::report);

    py::class_<Result>(m, "Result",
                       "What the library delivered for one procedure (see tarn.Link.process):\n"
                       "distance_m / final_m (metres, NaN: no estimate), confidence (percent,\n"
                       "-1: none), phase_m, phase_conf, rtt_m, rtt_conf (the candidates the\n"
                       "worker combined; metres, percent), computation, consistent,\n"
                       "tracking_mode, speed_mps, speed_sd_mps (m/s), track_flags,\n"
                       "timing_origin, step_scale, record_version, record_size, accepted,\n"
                       "sigma_m, phase_sigma_m, rtt_sigma_m (metres, NaN: none), flags\n"
                       "(TARN_INTEGRITY_*), first_path_m (metres), combination (0, 1),\n"
                       "reason, seq, time_s (s), true_m (m), tap_m and first_m (metres) and\n"
                       "impulse_response() (paths x taps; tap k at first_m + k * tap_m m).")
        .def_readonly("seq", &Result::seq)
        .def_readonly("time_s", &Result::timeS)
        .def_readonly("true_m", &Result::trueM)
        .def_readonly("accepted", &Result::accepted)
        .def_readonly("reason", &Result::reason)
        .def_readonly("distance_m", &Result::finalM)
        .def_readonly("final_m", &Result::finalM)
        .def_readonly("confidence", &Result::conf)
        .def_readonly("phase_m", &Result::phaseM)
        .def_readonly("phase_conf", &Result::phaseConf)
        .def_readonly("rtt_m", &Result::rttM)
        .def_readonly("rtt_conf", &Result::rttConf)
        .def_readonly("computation", &Result::computation)
        .def_readonly("consistent", &Result::consistent)
        .def_readonly("tracking_mode", &Result::trackingMode)
        .def_readonly("track_flags", &Result::trackFlags)
        .def_readonly("speed_mps", &Result::speedMps)
        .def_readonly("speed_sd_mps", &Result::speedSdMps)
        .def_readonly("timing_origin", &Result::timingOrigin)
        .def_readonly("step_scale", &Result::stepScale)
        .def_readonly("record_version", &Result::recordVersion)
        .def_readonly("record_size", &Result::recordSize)
        .def_readonly("tap_m", &Result::tapM)
        .def_readonly("first_m", &Result::firstM)
        .def_readonly("sigma_m", &Result::sigmaM)
        .def_readonly("phase_sigma_m", &Result::phaseSigmaM)
        .def_readonly("rtt_sigma_m", &Result::rttSigmaM)
        .def_readonly("flags", &Result::flags)
        .def_readonly("first_path_m", &Result::firstPathM)
        .def_readonly("combination", &Result::combination)
        .def("impulse_response", &impulseArray);

    py::class_<Link>(m, "Link")
        .def(py::init<const std::string &, const std::vector<std::string> &, const std::string &,
                      int, int, const std::string &, bool, double, py::object>())
        .def("process", &Link::process)
        .def("process_rows", &Link::processRows)
        .def("replay_file", &Link::replayFile)
        .def("options", &Link::options)
        .def("notes", &Link::notes)
        .def("link_ref", &Link::linkRef)
        .def("close", &Link::close)
        .def("closed", &Link::closed);
}
