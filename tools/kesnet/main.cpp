// kesnet: a command-line tool over the kesnet library, and its demonstration.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "command.h"
#include "kesnet_version.h"

namespace tool {

namespace {
std::vector<Command> &Registry()
{
    static std::vector<Command> commands;
    return commands;
}

void PrintUsage(FILE *out)
{
    fprintf(out,
            "kesnet %s - the classroom network's communication library, on the command line\n\n"
            "usage: kesnet COMMAND [ARGUMENTS]\n"
            "       kesnet help COMMAND\n"
            "       kesnet --version\n\n"
            "commands:\n",
            KESNET_VERSION_STRING);
    for (const Command &c : Commands())
        fprintf(out, "  %-12s %s\n", c.name, c.summary);
    fprintf(out,
            "\nAddresses are IPv4 (A.B.C.D), ports 1 to 65535. --from LOCAL picks the local\n"
            "interface to use. Exit codes: 0 done, 1 failed, 2 bad arguments.\n");
}

void PrintHelp(const Command &c)
{
    printf("usage: kesnet %s %s\n\n%s\n\n%s", c.name, c.synopsis, c.summary, c.details);
}

const Command *Find(const std::string &name)
{
    for (const Command &c : Commands())
        if (name == c.name)
            return &c;
    return nullptr;
}
}  // namespace

CommandRegistration::CommandRegistration(const Command &command)
{
    std::vector<Command> &commands = Registry();
    commands.push_back(command);
    std::stable_sort(commands.begin(), commands.end(),
                     [](const Command &a, const Command &b) { return a.order < b.order; });
}

const std::vector<Command> &Commands()
{
    return Registry();
}

}  // namespace tool

int main(int argc, char **argv)
{
    using namespace tool;
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    std::string first = argv[1];
    if (first == "--version") {
        printf("kesnet %s\n", KESNET_VERSION_STRING);
        return kExitOk;
    }
    if (first == "--help" || first == "-h" || first == "help") {
        if (argc >= 3) {
            const Command *c = Find(argv[2]);
            if (c == nullptr) {
                fprintf(stderr, "kesnet: no command '%s'\n", argv[2]);
                return kExitUsage;
            }
            PrintHelp(*c);
            return kExitOk;
        }
        PrintUsage(stdout);
        return kExitOk;
    }
    const Command *c = Find(first);
    if (c == nullptr) {
        fprintf(stderr, "kesnet: no command '%s'\n\n", first.c_str());
        PrintUsage(stderr);
        return kExitUsage;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
        PrintHelp(*c);
        return kExitOk;
    }
    return c->run(args);
}
