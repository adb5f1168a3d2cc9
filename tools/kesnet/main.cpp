// kesnet: a command-line tool over the kesnet library, and its demonstration.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "auth/trailer.h"
#include "command.h"
#include "kesnet.h"
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
            "usage: kesnet COMMAND [ARGUMENTS] [OPTIONS]\n"
            "       kesnet help COMMAND      (or: kesnet COMMAND --help)\n"
            "       kesnet --version\n\n"
            "commands:\n",
            KESNET_VERSION_STRING);
    int width = 0;
    for (const Command &c : Commands())
        width = std::max(width, static_cast<int>(strlen(c.name)));
    for (const Command &c : Commands())
        fprintf(out, "  %-*s  %s\n", width, c.name, c.summary);
    fprintf(out,
            "\nAddresses are IPv4 (A.B.C.D), ports 1 to 65535. --from LOCAL picks the local\n"
            "interface to use.\n\n"
            "authentication (every command; off without a key):\n"
            "  --key FILE      a key file of `kesnet key new`: the class key authenticates\n"
            "                  every datagram and cast sent and received; the teacher's\n"
            "                  private key signs what is sent; the teacher's public key\n"
            "                  refuses forged teacher datagrams. Give it once per file.\n"
            "  --teacher-only  take only datagrams the teacher signed\n"
            "  What was refused, and why, is shown on stderr when the command ends.\n\n"
            "exit codes (every command; its help says what they mean for it):\n"
            "  0  done: what was asked worked\n"
            "  1  failed: the library or the network reported a failure; a message says what\n"
            "  2  bad arguments; a message says which\n");
}

// Prints text after what is already on the line; its further lines (after
// '\n') start at column indent.
void PrintLines(const char *text, int indent)
{
    for (const char *line = text;;) {
        const char *end = strchr(line, '\n');
        if (end == nullptr) {
            printf("%s\n", line);
            return;
        }
        printf("%.*s\n%*s", static_cast<int>(end - line), line, indent, "");
        line = end + 1;
    }
}

// "  NAME  text", every text starting in the same column.
void PrintItems(const char *heading, const std::vector<HelpItem> &items)
{
    int width = 0;
    for (const HelpItem &item : items)
        width = std::max(width, static_cast<int>(strlen(item.name)));
    printf("\n%s:\n", heading);
    for (const HelpItem &item : items) {
        printf("  %-*s  ", width, item.name);
        PrintLines(item.text, width + 4);
    }
}

void PrintHelp(const Command &c)
{
    printf("usage: kesnet %s%s%s\n\n", c.name, *c.synopsis ? " " : "", c.synopsis);
    printf("%c%s.\n\n%s", toupper(static_cast<unsigned char>(c.summary[0])), c.summary + 1, c.description);
    if (!c.arguments.empty())
        PrintItems("arguments", c.arguments);
    std::vector<HelpItem> options = c.options;
    options.push_back({"--help", "show this help"});
    PrintItems("options", options);
    printf("\nexit codes:\n  0  ");
    PrintLines(c.success, 5);
    printf("  1  ");
    PrintLines(c.failure, 5);
    printf("  2  bad arguments; a message says which\n");
}

// Takes every --key FILE (or --key=FILE) and --teacher-only out of args and
// sets them up in the library. false, with *error, if one cannot be.
bool TakeAuthentication(std::vector<std::string> *args, bool *used, std::string *error)
{
    std::vector<std::string> rest;
    DWORD flags = 0;
    for (size_t i = 0; i < args->size(); ++i) {
        const std::string &arg = (*args)[i];
        std::string file;
        if (arg == "--teacher-only") {
            flags |= KES_AUTH_TEACHER_ONLY;
            continue;
        }
        if (arg == "--key") {
            if (i + 1 == args->size()) {
                *error = "--key needs a FILE";
                return false;
            }
            file = (*args)[++i];
        } else if (arg.compare(0, 6, "--key=") == 0) {
            file = arg.substr(6);
        } else {
            rest.push_back(arg);
            continue;
        }
        int result = KesAuthLoadKeyFile(file.c_str());
        if (result != KES_AUTH_OK) {
            *error = file + ": " + KesAuthErrorText(result);
            return false;
        }
        *used = true;
    }
    if (flags != 0) {
        if (!*used) {
            *error = "--teacher-only needs the teacher's public key (--key FILE)";
            return false;
        }
        KesAuthSetOptions(flags, 0, 0);
    }
    args->swap(rest);
    return true;
}

// What the library refused while the command ran, on stderr: nothing when
// it refused nothing.
void ReportRefusals()
{
    KES_AUTH_COUNTERS counters = {};
    counters.dwSize = sizeof counters;
    if (KesAuthGetCounters(&counters) != KES_AUTH_OK)
        return;
    uint32_t counts[auth::kRefusalKinds] = {};
    counts[static_cast<int>(auth::Refusal::kUnknownSender)] = counters.dwUnknownSender;
    counts[static_cast<int>(auth::Refusal::kBadTag)] = counters.dwBadTag;
    counts[static_cast<int>(auth::Refusal::kReplay)] = counters.dwReplay;
    counts[static_cast<int>(auth::Refusal::kNoSignature)] = counters.dwNoSignature;
    counts[static_cast<int>(auth::Refusal::kTooManyPlaces)] = counters.dwTooManyPlaces;
    std::string line = auth::DescribeRefusals(counts);
    if (!line.empty())
        fprintf(stderr, "kesnet: refused: %s\n", line.c_str());
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
        // The library beside the tool may be another build: show both.
        // No length goes with the buffer; a version resource holds at most 64 KiB.
        static char library[65536];
        if (!KesGetDllVersion("kesnet.dll", library))
            strcpy(library, "unknown");
        printf("kesnet %s for %d-bit Windows (kesnet.dll %s)\n", KESNET_VERSION_STRING,
               static_cast<int>(sizeof(void *) * 8), library);
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
    bool authenticated = false;
    std::string error;
    if (!TakeAuthentication(&args, &authenticated, &error)) {
        fprintf(stderr, "kesnet %s: %s\n", c->name, error.c_str());
        return kExitUsage;
    }
    int result = c->run(args);
    if (authenticated)
        ReportRefusals();
    return result;
}
