// `tarn import`, `tarn replay --capture` and `tarn simulate --capture`: the
// command-line side of the capture importer and writer.
#include "import.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

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
                    "only this connection: its number in the report (e.g. 2; links are numbered "
                    "in the order their CS data first shows) or its ACL handle in hex (e.g. "
                    "0x0040)");
}

bool parseConnectionChoice(const std::string &text, ConnectionChoice *out, std::string *why) {
    *out = ConnectionChoice();
    if (text.empty()) return true;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    bool ok = !digits.empty() && digits.size() <= 8;
    for (char ch : digits)
        ok = ok && (hex ? std::isxdigit(static_cast<unsigned char>(ch))
                        : std::isdigit(static_cast<unsigned char>(ch)));
    const unsigned long v = ok ? std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
    if (!ok || (hex && v > 0x0FFF) || (!hex && (v == 0 || v > 1000000))) {
        *why =
            "--connection takes a connection number from the report (e.g. 2) or an ACL "
            "handle in hex up to 0x0FFF (e.g. 0x0040), not '" +
            text + "'";
        return false;
    }
    if (hex) {
        out->byHandle = true;
        out->handle = static_cast<uint16_t>(v);
    } else {
        out->number = static_cast<int>(v);
    }
    return true;
}

namespace {

std::string choiceText(const ConnectionChoice &c) {
    char b[48];
    if (c.byHandle)
        std::snprintf(b, sizeof b, "on handle 0x%04X", c.handle);
    else
        std::snprintf(b, sizeof b, "%d", c.number);
    return b;
}

// The connections with CS data, one per line, for a refusal.
std::string connectionList(const tarn_capture::ImportReport &rep, const std::string &path) {
    std::string s;
    for (const tarn_capture::ConnectionInfo &c : rep.connections) {
        if (c.number == 0) continue;
        char line[96];
        std::snprintf(line, sizeof line, "\n  connection %d: handle 0x%03X, %llu procedures",
                      c.number, c.handle, static_cast<unsigned long long>(c.whole));
        s += line;
    }
    return s.empty() ? path + " holds no connection with CS data"
                     : "connections with CS data in " + path + ":" + s;
}

bool present(const tarn_capture::ImportReport &rep, const ConnectionChoice &c) {
    for (const tarn_capture::ConnectionInfo &ci : rep.connections)
        if (ci.number != 0 && (c.byHandle ? ci.handle == c.handle : ci.number == c.number))
            return true;
    return false;
}

// The refusal of a --connection that names no connection with CS data.
std::string noSuchConnection(const tarn_capture::ImportReport &rep, const ConnectionChoice &c,
                             const std::string &path) {
    return "no connection " + choiceText(c) + " in " + path + "; " + connectionList(rep, path);
}

}  // namespace

int captureOutcome(const tarn_capture::ImportReport &rep, const ConnectionChoice &choice,
                   long delivered, const std::string &path, std::string *why) {
    if (delivered > 0) return 0;
    if (!choice.any() && !present(rep, choice)) {
        *why = noSuchConnection(rep, choice, path);
        return 2;
    }
    *why = "no whole procedure in " + path;
    if (!choice.any()) *why += " on connection " + choiceText(choice);
    if (rep.stopped)
        *why += " (reading stopped: " + rep.stopReason + ")";
    else if (rep.droppedProcedures() > 0)
        *why +=
            " (" + std::to_string(rep.droppedProcedures()) + " not delivered; the report says why)";
    return 1;
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
    ConnectionChoice choice;
    std::string why;
    if (!buildImportOptions(a.opts, &o, &why) ||
        !parseConnectionChoice(a.opts.connection, &choice, &why)) {
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
        if (!choice.matches(ip.connection, ip.handle)) continue;
        if (out != nullptr) *out << captureJson(ip, n) << '\n';
        ++n;
    }
    const int rc = captureOutcome(imp.report(), choice, n, a.capture, &why);
    if (rc == 2) {
        // Refused: nothing of the capture was asked for.
        if (file.is_open()) {
            file.close();
            std::remove(a.output.c_str());
        }
        io.err << "tarn: " << why << "\n";
        return rc;
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
        summary << "wrote " << n << " procedure(s)"
                << (choice.any() ? "" : " of connection " + choiceText(choice)) << " to "
                << a.output << "\n";
    if (rc != 0) io.err << "tarn: " << why << "\n";
    return rc;
}

void addCaptureReplayOptions(CLI::App *replay, CaptureReplayArgs *a) {
    replay->add_option("--capture", a->path,
                       "replay the procedures of an HCI snoop log (btsnoop) instead of a "
                       "recorded file");
    addCaptureImportOptions(replay, &a->opts);
}

bool CaptureSource::open(const CaptureReplayArgs &a, std::string *why) {
    args_ = a;
    openStatus_ = 2;
    tarn_capture::ImportOptions o;
    if (!buildImportOptions(a.opts, &o, why) ||
        !parseConnectionChoice(a.opts.connection, &choice_, why))
        return false;
    connection_ = choice_.number;
    if (choice_.any() && a.path == "-") {
        *why = "a capture on standard input is read once: choose the link with --connection";
        return false;
    }
    openStatus_ = 1;
    if (a.path != "-") {
        // A first pass finds the connections and their procedures, so that
        // the choice is settled before the library sees anything.
        tarn_capture::CaptureImporter scan(o);
        if (!scan.openFile(a.path, why)) {
            *why = a.path + ": " + *why;
            return false;
        }
        if (!a.opts.peerCapture.empty() && !scan.openPeerFile(a.opts.peerCapture, why)) {
            *why = a.opts.peerCapture + ": " + *why;
            return false;
        }
        tarn_capture::ImportedProcedure ip;
        while (scan.next(&ip)) {
        }
        const tarn_capture::ImportReport &rep = scan.report();
        std::vector<const tarn_capture::ConnectionInfo *> fit, delivering;
        for (const tarn_capture::ConnectionInfo &c : rep.connections)
            if (c.number != 0 && choice_.matches(c.number, c.handle)) {
                fit.push_back(&c);
                if (c.whole > 0) delivering.push_back(&c);
            }
        openStatus_ = 2;
        if (!choice_.any() && fit.empty()) {
            *why = noSuchConnection(rep, choice_, a.path);
            return false;
        }
        if (delivering.size() > 1) {
            *why = a.path + " holds procedures of several connections" +
                   (choice_.byHandle ? " on that handle" : "") +
                   "; choose one with --connection N. " + connectionList(rep, a.path);
            return false;
        }
        openStatus_ = 1;
        if (!delivering.empty())
            connection_ = delivering[0]->number;
        else if (!fit.empty())
            connection_ = fit[0]->number;
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
        // Read once (standard input) by handle: the first connection on it.
        if (connection_ == 0 && choice_.byHandle && ip.handle == choice_.handle)
            connection_ = ip.connection;
        if (connection_ == 0 || ip.connection != connection_) continue;
        *p = std::move(ip.procedure);
        ++delivered_;
        return true;
    }
    return false;
}

int CaptureSource::outcome(std::string *why) const {
    if (!imp_) return 1;
    return captureOutcome(imp_->report(), choice_, delivered_, args_.path, why);
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
