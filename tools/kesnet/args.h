// Argument parsing and the small conversions every command needs.
#ifndef KESNET_TOOL_ARGS_H
#define KESNET_TOOL_ARGS_H

#include "kesnet.h"  // brings winsock2.h before windows.h

#include <map>
#include <string>
#include <vector>

namespace tool {

// A command's arguments as CLI11 parses them: "--name value" and
// "--name=value" options (each may be given more than once), "--flag" options
// and positional arguments, in order. Options not declared are errors.
class Args {
public:
    // valueOptions take a value ("--count 3"); flags take none ("--echo").
    Args(const std::vector<std::string> &args, const std::vector<std::string> &valueOptions,
         const std::vector<std::string> &flags);
    bool ok() const { return m_error.empty(); }
    const std::string &error() const { return m_error; }
    const std::vector<std::string> &positional() const { return m_positional; }
    bool Has(const std::string &name) const { return m_values.count(name) != 0; }
    std::string Get(const std::string &name, const std::string &fallback = "") const;
    std::vector<std::string> GetAll(const std::string &name) const;

private:
    std::vector<std::string> m_positional;
    std::multimap<std::string, std::string> m_values;
    std::string m_error;
};

// Each returns false (and sets *error) on a malformed value.
bool ParseIPv4(const std::string &text, DWORD *addr, std::string *error);
bool ParsePort(const std::string &text, int *port, std::string *error);
bool ParseEndpoint(const std::string &text, DWORD *addr, int *port, std::string *error);
bool ParseNumber(const std::string &text, long long min, long long max, long long *value,
                 std::string *error);
// "TEXT" as it stands, or "@FILE" for a file's bytes.
bool LoadPayload(const std::string &text, std::vector<unsigned char> *bytes, std::string *error);

// Every --from of args: up to eight local interfaces (none when not given).
bool ParseLocalInterfaces(const Args &args, std::vector<DWORD> *locals, std::string *error);
// When a listening command stops: after --count N things arrived (*count, 0
// without it) or --seconds S (*seconds, 0 without it), whichever comes first.
bool ParseStopAfter(const Args &args, long long *count, long long *seconds, std::string *error);

// The record of a listener on several interfaces (up to eight, from locals)
// with what param says of the one-interface listener.
tagParamListen3 OnEachInterface(const tagParamListen &param, const std::vector<DWORD> &locals);

std::string Dotted(DWORD addr);
std::string Endpoint(DWORD addr, int port);
// "A, B, C"
std::string DottedList(const std::vector<DWORD> &addrs);
// A classic hex view: offset, 16 bytes in hex, the same bytes as text.
std::string HexView(const unsigned char *data, size_t length, size_t limit = 256);

// Prints "kesnet COMMAND: message" to stderr and returns kExitUsage.
int UsageError(const char *command, const std::string &message);
// Prints "kesnet COMMAND: message" to stderr and returns kExitFailed.
int Failure(const char *command, const std::string &message);

// For a command that takes one argument and no options: true with *value set,
// or false with the usage error reported and its exit code in *exitCode.
// what names the argument in the message ("FILE").
bool SingleArgument(const char *command, const std::vector<std::string> &argv, const char *what,
                    std::string *value, int *exitCode);
// Whether the standard output is a terminal (a console), not a file, a pipe or
// the NUL device.
bool OutputIsTerminal();
// "512 bytes", "12.5 KiB", "3.2 MiB", "1.1 GiB"
std::string FormatBytes(double bytes);

// One line on a terminal, rewritten in place (blanks cover what a longer line
// before left); nothing at all when the output is not a terminal, so that
// what a pipe or a file gets stays as it was.
class StatusLine {
public:
    StatusLine() : m_shown(OutputIsTerminal()) {}
    bool shown() const { return m_shown; }
    void Show(const std::string &line);
    // Ends the line, if one was shown.
    void End();

private:
    bool m_shown;
    size_t m_width = 0;
};

// From now on an interrupt (Ctrl+C) sets event instead of ending the
// program, so that a command can release what it holds and report.
void SignalOnInterrupt(HANDLE event);
// Milliseconds since it was made, from the performance counter.
class Stopwatch {
public:
    Stopwatch();
    double Milliseconds() const;

private:
    LARGE_INTEGER m_start;
};

// Winsock started for the length of a command.
class Library {
public:
    Library();
    ~Library();
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

}  // namespace tool

#endif
