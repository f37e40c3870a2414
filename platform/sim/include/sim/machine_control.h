// One-line commands that change the simulated machine while the host runs. They share the words of
// the machine file (docs/machine-file.md), e.g.
//
//   sim::RunMachineCommand("power dc");                           // unplug the charger
//   sim::RunMachineCommand("probe interface temperature 31.5");
//   sim::RunMachineCommand("wmi add \"ACPI\\PNP0C14\\0_0\" 564");
//   sim::MachineCommandResult r = sim::RunMachineCommand("sleep");
//   // r.status == kHostCommand, r.hostCommand == HostCommand::kSleep: the host carries it out
//
// Machine commands are applied here. Host commands (sleep, resume, surprise-remove, add-device)
// concern the device's life cycle, which belongs to the driver host: they are parsed and handed
// back, and nothing here changes. Any text gives a result; errors are one-line messages and
// change nothing.
//
// Thread safety: any thread. Commands are serialised with ApplyMachine and ResetMachine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"

PLATFORM_API_BEGIN

namespace sim {

enum class HostCommand {
    kSleep,           // system sleep: the device leaves D0 for D3
    kResume,          // system resume: the device returns to D0
    kSurpriseRemove,  // the device is pulled out
    kAddDevice,       // the device is added again
};

// The command's own word, e.g. "surprise-remove".
const char* HostCommandName(HostCommand command);

struct MachineCommandResult {
    enum class Status { kApplied, kHostCommand, kError };
    Status status = Status::kError;
    // kApplied: what changed, one line ("help" answers the help text); kError: why nothing did;
    // kHostCommand: the command's word.
    std::string message;
    HostCommand hostCommand = HostCommand::kSleep;  // meaningful for kHostCommand only
};

// Parses and runs one command line. A '#' outside quotes starts a comment.
MachineCommandResult RunMachineCommand(std::string_view line);

// Parses without running: the error, or an empty string for a valid command.
std::string CheckMachineCommand(std::string_view line);

// Joins words (a program's arguments) into a command line, quoting those that need it.
std::string MachineCommandLine(const std::vector<std::string>& words);

// Every command with its arguments, one per line, for a program's help output.
const char* MachineCommandHelp();

}  // namespace sim
PLATFORM_API_END
