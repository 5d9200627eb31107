// qvgsm sim: simulated modems for a person at a terminal. Prints each
// modem's device and link, then takes commands on standard input and prints
// every message the host sends.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "tools/commands.h"
#include "tools/sim/SimPdu.h"
#include "tools/sim/Simulator.h"
#include "tools/sim/StoredFile.h"

namespace qvgsm {
namespace {

struct SimOptions {
    int count = 1;
    std::string dir;
    std::string stored;
    int firstCom = 1;
    bool verbose = false;
    bool acceptAnyAt = false;
    int reportStatus = -1;
    int reportDelayMs = 0;
    int csmsService = 0;
};

const char kHelp[] =
    "commands (<com> is the COM number):\n"
    "  list                                   modems, storage and sent messages\n"
    "  inject <com> <number> <text>           an incoming message (long texts in parts)\n"
    "  inject-ucs2 <com> <number> <text>      the same, always UCS2\n"
    "  inject-multi <com> <number> <order> <text>\n"
    "                                         parts arrive in <order>, e.g. 2,1 (may omit parts)\n"
    "  pdu <com> <hex>                        store a raw SMS-DELIVER and announce it\n"
    "  fault <com> <rule> | fault <com> clear misbehave (see below)\n"
    "  hangup <com> | replug <com>            unplug, plug in again on a new device\n"
    "  stored <com> | submits <com>           what the SIM holds, what the host sent\n"
    "  help | quit\n"
    "fault rule: ";

std::mutex g_print;

void Print(const std::string& line) {
    std::lock_guard<std::mutex> lk(g_print);
    std::cout << line << std::endl;
}

std::string Rest(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : rest.substr(start);
}

class Console {
  public:
    Console(qvsim::Simulator& sim, const SimOptions& o) : m_sim(sim), m_opt(o) {}

    // False on quit.
    bool Run(const std::string& line) {
        std::istringstream in(line);
        std::string cmd;
        if (!(in >> cmd)) return true;
        if (cmd == "quit" || cmd == "exit") return false;
        if (cmd == "help") {
            Print(std::string(kHelp) + qvsim::FaultSyntax());
            return true;
        }
        if (cmd == "list") {
            for (int i = 0; i < m_sim.Count(); ++i) {
                Print("COM" + std::to_string(i + m_opt.firstCom) + " " + m_sim.SlavePath(i) +
                      (m_sim.Plugged(i) ? "" : " (unplugged)") + " stored " +
                      std::to_string(m_sim.Stored(i).size()) + " sent " +
                      std::to_string(m_sim.Submits(i).size()));
            }
            return true;
        }
        int com = 0;
        if (!(in >> com) || com < m_opt.firstCom || com >= m_opt.firstCom + m_sim.Count()) {
            Print("error: unknown command or COM number (try help)");
            return true;
        }
        int id = com - m_opt.firstCom;
        if (cmd == "inject" || cmd == "inject-ucs2" || cmd == "inject-multi") {
            qvsim::Incoming msg;
            std::string order;
            in >> msg.sender;
            if (cmd == "inject-multi") in >> order;
            msg.text = qvsim::FromUtf8(Rest(in));
            if (cmd == "inject-ucs2") msg.coding = qvsim::Incoming::Coding::Ucs2;
            std::istringstream parts(order == "-" ? "" : order);
            for (std::string p; std::getline(parts, p, ',');)
                msg.order.push_back(std::atoi(p.c_str()));
            std::string where;
            for (int index : m_sim.Inject(id, msg)) where += " " + std::to_string(index);
            Print("stored at" + where);
        } else if (cmd == "pdu") {
            std::string hex;
            in >> hex;
            Print("stored at " + std::to_string(m_sim.StorePdu(id, hex)));
        } else if (cmd == "fault") {
            std::string rule = Rest(in), error;
            if (rule == "clear") {
                m_sim.ClearFaults(id);
            } else if (!m_sim.AddFault(id, rule, &error)) {
                Print("error: " + error);
            }
        } else if (cmd == "hangup") {
            m_sim.HangUp(id);
        } else if (cmd == "replug") {
            Print(m_sim.Replug(id) ? "COM" + std::to_string(com) + " " + m_sim.SlavePath(id)
                                   : "error: no pty");
        } else if (cmd == "stored") {
            for (const auto& s : m_sim.Stored(id)) {
                Print(std::to_string(s.index) + " stat " + std::to_string(s.stat) + " " + s.pdu);
            }
        } else if (cmd == "submits") {
            for (const auto& s : m_sim.Submits(id)) {
                Print("to " + s.number + " part " + std::to_string(s.part) + "/" +
                      std::to_string(s.total) + ": " + s.utf8);
            }
        } else {
            Print("error: unknown command (try help)");
        }
        return true;
    }

  private:
    qvsim::Simulator& m_sim;
    const SimOptions& m_opt;
};

void RunSim(const SimOptions& o) {
    std::vector<qvsim::StoredEntry> stored;
    std::string error;
    if (!o.stored.empty() && !qvsim::LoadStoredFile(o.stored, &stored, &error)) {
        std::cerr << "sim: " << error << std::endl;
        throw CLI::RuntimeError(2);
    }
    qvsim::Simulator sim;
    qvsim::ModemConfig config;
    config.acceptAnyAt = o.acceptAnyAt;
    config.reportStatus = o.reportStatus;
    config.reportDelayMs = o.reportDelayMs;
    config.csmsService = o.csmsService;
    for (int i = 0; i < o.count; ++i) {
        int id = sim.Add(config);
        if (id < 0) {
            std::perror("sim: no pseudo-terminal");
            throw CLI::RuntimeError(1);
        }
        int com = o.firstCom + i;
        if (!o.dir.empty() && !sim.Link(id, o.dir, com)) {
            std::perror(("sim: cannot link com" + std::to_string(com)).c_str());
            throw CLI::RuntimeError(1);
        }
        for (const auto& s : stored) {
            if (s.com != -1 && s.com != com) continue;
            if (s.pdu.empty()) {
                qvsim::Incoming msg = s.message;
                msg.announce = false;
                sim.Inject(id, msg);
            } else {
                sim.StorePdu(id, s.pdu, s.message.stat, false);
            }
        }
        Print("COM" + std::to_string(com) + " " + sim.SlavePath(id) +
              (o.dir.empty() ? "" : " " + sim.LinkPath(id)));
    }
    sim.SetObserver([&](const qvsim::SimEvent& ev) {
        std::string com = "COM" + std::to_string(ev.modem + o.firstCom);
        switch (ev.kind) {
            case qvsim::SimEvent::Kind::Command:
                if (o.verbose) Print(com + " << " + ev.text);
                break;
            case qvsim::SimEvent::Kind::Submit:
                Print(com + " SUBMIT " + ev.text);
                break;
            case qvsim::SimEvent::Kind::Rejected:
                Print(com + " REJECTED " + ev.text);
                break;
            case qvsim::SimEvent::Kind::HangUp:
                Print(com + " hung up");
                break;
            case qvsim::SimEvent::Kind::Replug:
                Print(com + " plugged in again at " + ev.text);
                break;
        }
    });
    Print("ready (type help)");
    Console console(sim, o);
    for (std::string line; std::getline(std::cin, line);) {
        if (!console.Run(line)) break;
    }
}

}  // namespace

void AddSimCommand(CLI::App& app) {
    auto opt = std::make_shared<SimOptions>();
    CLI::App* sub = app.add_subcommand("sim", "Run simulated GSM modems on pseudo-terminals");
    sub->add_option("--count", opt->count, "Number of modems")->check(CLI::Range(1, 2000));
    sub->add_option("--dir", opt->dir, "Folder for the comN links (QVGSM_COMDIR)")
        ->check(CLI::ExistingDirectory);
    sub->add_option("--stored", opt->stored, "Messages on the SIMs at start (JSON or lines)")
        ->check(CLI::ExistingFile);
    sub->add_option("--first-com", opt->firstCom, "COM number of the first modem")
        ->check(CLI::Range(1, 9999));
    sub->add_flag("--verbose", opt->verbose, "Print every command line received");
    sub->add_flag("--any-at", opt->acceptAnyAt, "Answer OK to unknown AT commands");
    sub->add_option("--report-status", opt->reportStatus,
                    "Answer parts that ask for a status report with this TP-ST (e.g. 0 "
                    "delivered, 48 still trying, 70 failed); -1 none")
        ->check(CLI::Range(-1, 255));
    sub->add_option("--report-delay", opt->reportDelayMs, "Milliseconds before a status report")
        ->check(CLI::Range(0, 86400000));
    sub->add_option("--csms-service", opt->csmsService,
                    "Message service (AT+CSMS): 1 expects AT+CNMA after +CDS")
        ->check(CLI::Range(0, 1));
    sub->callback([opt] { RunSim(*opt); });
}

}  // namespace qvgsm
