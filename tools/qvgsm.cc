// qvgsm: the command-line face of the driver: PDU codec, modem simulator,
// demo, sending and listening on real modems, and the SMS gateway.
#include <cstdio>

#include "tools/commands.h"

namespace qvgsm {
// Commands whose file is not part of this build register nothing.
__attribute__((weak)) void AddPduCommand(CLI::App&) {}
__attribute__((weak)) void AddSimCommand(CLI::App&) {}
__attribute__((weak)) void AddDemoCommand(CLI::App&) {}
__attribute__((weak)) void AddSendCommand(CLI::App&) {}
__attribute__((weak)) void AddListenCommand(CLI::App&) {}
__attribute__((weak)) void AddServeCommand(CLI::App&) {}
}  // namespace qvgsm

int main(int argc, char** argv) {
    CLI::App app{"qvgsm - SMS through GSM modems: codec, simulator, demo and host tool"};
    app.require_subcommand(1);
    qvgsm::AddPduCommand(app);
    qvgsm::AddSimCommand(app);
    qvgsm::AddDemoCommand(app);
    qvgsm::AddSendCommand(app);
    qvgsm::AddListenCommand(app);
    qvgsm::AddServeCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        // Bad arguments exit with the documented usage status, not CLI11's own.
        return rc == 0 || e.get_name() == "RuntimeError" ? rc : 2;
    }
    return 0;
}
