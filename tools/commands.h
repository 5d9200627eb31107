// The subcommands of qvgsm. Each lives in its own file and registers itself
// on the application; main() only wires them up. A command that fails throws
// CLI::RuntimeError(exitCode); CLI11 turns it into the process exit status.
#pragma once

#include <CLI/CLI.hpp>

namespace qvgsm {

void AddPduCommand(CLI::App& app);     // qvgsm pdu encode|decode
void AddSimCommand(CLI::App& app);     // qvgsm sim
void AddDemoCommand(CLI::App& app);    // qvgsm demo
void AddSendCommand(CLI::App& app);    // qvgsm send
void AddListenCommand(CLI::App& app);  // qvgsm listen
void AddServeCommand(CLI::App& app);   // qvgsm serve

}  // namespace qvgsm
