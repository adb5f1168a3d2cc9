// The kesnet tool's commands: each lives in a file of its own and registers
// itself with KESNET_COMMAND, so main.cpp never changes when one is added.
#ifndef KESNET_TOOL_COMMAND_H
#define KESNET_TOOL_COMMAND_H

#include <string>
#include <vector>

namespace tool {

// Exit codes of every command.
enum ExitCode {
    kExitOk = 0,       // did what was asked
    kExitFailed = 1,   // the library or the network reported a failure
    kExitUsage = 2,    // bad arguments; a message says which
};

struct Command {
    const char *name;
    const char *synopsis;  // arguments, for the usage line
    const char *summary;   // one line for the command list
    const char *details;   // the rest of `kesnet help NAME`
    int (*run)(const std::vector<std::string> &args);
    int order;             // place in the command list
};

class CommandRegistration {
public:
    explicit CommandRegistration(const Command &command);
};

const std::vector<Command> &Commands();

#define KESNET_COMMAND(id, ...) static const ::tool::CommandRegistration id##_registration(::tool::Command{__VA_ARGS__})

}  // namespace tool

#endif
