// `tarn import`, `tarn replay --capture` and `tarn simulate --capture`: the
// command-line side of the capture importer and writer.
#include "import.h"

#include <cstdio>
#include <map>

#include "record.h"

namespace tarn_tool {

using namespace tarn_sim;

void addCaptureImportOptions(CLI::App *cmd, CaptureImportArgs *a) {
    cmd->add_option("--ras-handle", a->rasHandles,
                    "RAS attribute handles of a link whose capture has no GATT discovery: "
                    "ACL:ATT=KIND,... e.g. 0x0040:0x0024=realtime,0x0027=ondemand,0x002A=cp "
                    "(repeatable)");
    cmd->add_flag("--unix-time", a->unixTime,
                  "time stamps in ns since 1970 (host clock) instead of since the first record");
    cmd->add_flag("--one-sided", a->oneSided,
                  "keep procedures without reflector data (empty reflector list)");
    cmd->add_flag("--guess-ras", a->guessRas,
                  "take notifications that start with a ranging header matching an open "
                  "procedure as real-time ranging data");
    cmd->add_option("--peer-capture", a->peerCapture,
                    "the reflector's own snoop log: its Result events give the reflector's "
                    "steps instead of the RAS data");
    cmd->add_option("--connection", a->connection,
                    "only this connection (numbered in order of appearance)");
}

bool buildImportOptions(const CaptureImportArgs &a, tarn_capture::ImportOptions *o,
                        std::string *why) {
    o->timeBase = a.unixTime ? tarn_capture::TimeBase::Unix : tarn_capture::TimeBase::FirstRecord;
    o->oneSided = a.oneSided;
    o->guessRas = a.guessRas;
    for (const std::string &h : a.rasHandles)
        if (!tarn_capture::parseRasHandles(h, &o->rasHandles, why)) return false;
    return true;
}

namespace {

// The record's JSON line with where it came from in the capture.
std::string captureJson(const tarn_capture::ImportedProcedure &ip, long seq) {
    const std::string j = procedureToJson(ip.procedure, seq);
    char head[160];
    std::snprintf(head, sizeof head,
                  "{\"connection\":%d,\"handle\":%u,\"config\":%u,\"procedureCounter\":%u,"
                  "\"record\":%llu,\"partial\":%s,",
                  ip.connection, ip.handle, ip.configId, ip.procedureCounter,
                  static_cast<unsigned long long>(ip.record), ip.partial ? "true" : "false");
    return head + j.substr(1);
}

}  // namespace

CLI::App *addImportCommand(CLI::App *app, ImportArgs *a) {
    CLI::App *cmd = app->add_subcommand(
        "import", "read Channel Sounding procedures from an HCI snoop log (btsnoop) and report");
    cmd->add_option("capture", a->capture, "the capture ('-': standard input)")->required();
    cmd->add_option("-o,--output", a->output,
                    "write the procedures as JSON Lines to FILE ('-': standard output)");
    addCaptureImportOptions(cmd, &a->opts);
    return cmd;
}

int cmdImport(ToolIo io, const ImportArgs &a) {
    tarn_capture::ImportOptions o;
    std::string why;
    if (!buildImportOptions(a.opts, &o, &why)) {
        io.err << "tarn: " << why << "\n";
        return 2;
    }
    tarn_capture::CaptureImporter imp(o);
    if (!imp.openFile(a.capture, &why)) {
        io.err << "tarn: " << a.capture << ": " << why << "\n";
        return 1;
    }
    if (!a.opts.peerCapture.empty() && !imp.openPeerFile(a.opts.peerCapture, &why)) {
        io.err << "tarn: " << a.opts.peerCapture << ": " << why << "\n";
        return 1;
    }
    std::ofstream file;
    std::ostream *out = nullptr;
    if (a.output == "-") {
        out = &io.out;
    } else if (!a.output.empty()) {
        file.open(a.output, std::ios::out | std::ios::trunc);
        if (!file) {
            io.err << "tarn: cannot write " << a.output << "\n";
            return 1;
        }
        out = &file;
    }
    std::ostream &summary = out == &io.out ? io.err : io.out;
    long n = 0;
    tarn_capture::ImportedProcedure ip;
    while (imp.next(&ip)) {
        if (a.opts.connection != 0 && ip.connection != a.opts.connection) continue;
        if (out != nullptr) *out << captureJson(ip, n) << '\n';
        ++n;
    }
    imp.report().print(summary);
    if (file.is_open()) {
        file.close();
        if (file.fail()) {
            io.err << "tarn: error writing " << a.output << "\n";
            return 1;
        }
    }
    if (!a.output.empty() && a.output != "-")
        summary << "wrote " << n << " procedure(s) to " << a.output << "\n";
    if (n == 0) {
        io.err << "tarn: no whole procedure in " << a.capture << "\n";
        return 1;
    }
    return 0;
}

void addCaptureReplayOptions(CLI::App *replay, CaptureReplayArgs *a) {
    replay->add_option("--capture", a->path,
                       "replay the procedures of an HCI snoop log (btsnoop) instead of a "
                       "recorded file");
    addCaptureImportOptions(replay, &a->opts);
}

bool CaptureSource::open(const CaptureReplayArgs &a, std::string *why) {
    args_ = a;
    tarn_capture::ImportOptions o;
    if (!buildImportOptions(a.opts, &o, why)) return false;
    connection_ = a.opts.connection;
    if (connection_ == 0 && a.path == "-") {
        *why = "a capture on standard input is read once: choose the link with --connection";
        return false;
    }
    if (connection_ == 0) {
        // A first pass finds the connections that carry procedures.
        tarn_capture::CaptureImporter scan(o);
        if (!scan.openFile(a.path, why)) {
            *why = a.path + ": " + *why;
            return false;
        }
        if (!a.opts.peerCapture.empty() && !scan.openPeerFile(a.opts.peerCapture, why)) {
            *why = a.opts.peerCapture + ": " + *why;
            return false;
        }
        std::map<int, std::pair<uint16_t, long>> found;
        tarn_capture::ImportedProcedure ip;
        while (scan.next(&ip)) {
            auto &e = found[ip.connection];
            e.first = ip.handle;
            ++e.second;
        }
        if (found.size() > 1) {
            *why = a.path + " holds procedures of several connections; choose one with "
                            "--connection:";
            for (const auto &kv : found) {
                char line[96];
                std::snprintf(line, sizeof line, "\n  connection %d: handle 0x%03X, %ld procedures",
                              kv.first, kv.second.first, kv.second.second);
                *why += line;
            }
            return false;
        }
        if (found.size() == 1) connection_ = found.begin()->first;
    }
    imp_.reset(new tarn_capture::CaptureImporter(o));
    if (!imp_->openFile(a.path, why)) {
        *why = a.path + ": " + *why;
        return false;
    }
    if (!a.opts.peerCapture.empty() && !imp_->openPeerFile(a.opts.peerCapture, why)) {
        *why = a.opts.peerCapture + ": " + *why;
        return false;
    }
    return true;
}

bool CaptureSource::next(Procedure *p) {
    tarn_capture::ImportedProcedure ip;
    while (imp_->next(&ip)) {
        if (ip.connection != connection_) continue;
        *p = std::move(ip.procedure);
        return true;
    }
    return false;
}

void CaptureSource::printReport(std::ostream &os) const {
    if (imp_) imp_->report().print(os);
}

void addSimulateCaptureOptions(CLI::App *simulate, SimCaptureArgs *a) {
    simulate->add_option("--capture", a->path,
                         "also write the procedures as an initiator's HCI snoop log (btsnoop)");
    simulate->add_option("--capture-mtu", a->mtu, "ATT MTU of the capture's RAS data (23 to 517)")
        ->check(CLI::Range(23, 517))
        ->capture_default_str();
    simulate->add_option("--capture-data-length", a->dataLength,
                         "octets per ACL fragment in the capture (27 to 251)")
        ->check(CLI::Range(27, 251))
        ->capture_default_str();
    simulate->add_option("--capture-reflector", a->reflectorPath,
                         "also write the reflector's own snoop log (its Result events)");
    simulate->add_flag("--capture-on-demand", a->onDemand,
                       "RAS on-demand delivery through the control point (default real-time)");
}

bool CaptureSink::open(const SimCaptureArgs &a, std::string *why) {
    tarn_capture::CaptureWriterOptions o;
    o.attMtu = a.mtu;
    o.aclDataLength = a.dataLength;
    o.onDemand = a.onDemand;
    if (!a.path.empty()) {
        writer_.reset(new tarn_capture::CaptureWriter(o));
        if (!writer_->openFile(a.path, why)) return false;
    }
    if (!a.reflectorPath.empty()) {
        o.side = tarn_capture::Role::Reflector;
        o.handle = 0x0001;
        reflector_.reset(new tarn_capture::CaptureWriter(o));
        if (!reflector_->openFile(a.reflectorPath, why)) return false;
    }
    return true;
}

bool CaptureSink::write(const Procedure &p, std::string *why) {
    return (writer_ == nullptr || writer_->write(p, why)) &&
           (reflector_ == nullptr || reflector_->write(p, why));
}

bool CaptureSink::close(std::string *why) {
    return (writer_ == nullptr || writer_->close(why)) &&
           (reflector_ == nullptr || reflector_->close(why));
}

}  // namespace tarn_tool
