// The kesnet tool's commands: each lives in a file of its own and registers
// itself with KESNET_COMMAND, so main.cpp never changes when one is added.
// Every command's help is printed from the same fields, in the same layout:
// usage, summary, description, arguments, options, exit codes.
#ifndef KESNET_TOOL_COMMAND_H
#define KESNET_TOOL_COMMAND_H

#include <string>
#include <vector>

namespace tool {

// Exit codes of every command.
enum ExitCode {
    kExitOk = 0,       // did what was asked
    kExitFailed = 1,   // the library or the network reported a failure; a message says what
    kExitUsage = 2,    // bad arguments; a message says which
};

// One line of the arguments or options of a command's help: "--from LOCAL"
// and what it does (more lines after '\n' are indented to match).
struct HelpItem {
    const char *name;
    const char *text;
};

struct Command {
    const char *name;
    const char *synopsis;     // arguments and options, for the usage line ("" for none)
    const char *summary;      // one line for the command list
    const char *description;  // what the command does and which library calls it makes
    std::vector<HelpItem> arguments;
    std::vector<HelpItem> options;  // --help is added to every command's list
    const char *success;      // what exit code 0 means for this command
    const char *failure;      // what exit code 1 means for this command
    int (*run)(const std::vector<std::string> &args);
    int order;                // place in the command list
};

class CommandRegistration {
public:
    explicit CommandRegistration(const Command &command);
};

const std::vector<Command> &Commands();

#define KESNET_COMMAND(id, ...) static const ::tool::CommandRegistration id##_registration(::tool::Command{__VA_ARGS__})

}  // namespace tool

#endif
