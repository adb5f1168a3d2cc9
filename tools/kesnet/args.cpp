#include "args.h"

#include "kesnet.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>

#include "command.h"

namespace tool {

namespace {

// The tool has no short options, so a word that begins with one '-' (a text
// to send, say) is an argument; CLI11 would take it for short options. It
// goes through the parse behind this mark, which comes off again.
const char kArgumentMark = '\x01';

std::string Marked(const std::string &word)
{
    bool shortOptionLike = word.size() > 1 && word[0] == '-' && word[1] != '-';
    return shortOptionLike ? kArgumentMark + word : word;
}

std::string Unmarked(const std::string &word)
{
    return !word.empty() && word[0] == kArgumentMark ? word.substr(1) : word;
}

// "--from: 1 required TEXT missing" names the option before the colon.
std::string OptionNamed(const CLI::ParseError &e)
{
    std::string what = e.what();
    return what.substr(0, what.find(':'));
}

}  // namespace

Args::Args(const std::vector<std::string> &args, const std::vector<std::string> &valueOptions,
           const std::vector<std::string> &flags)
{
    CLI::App app;
    app.set_help_flag();  // every command's --help is main.cpp's
    app.allow_extras();   // an option not declared is reported below, by its name
    // A path such as "/tmp/room12.txt" is an argument, not a Windows-style
    // option, which the Windows build of CLI11 would otherwise take it for.
    app.allow_windows_style_options(false);
    std::map<std::string, std::vector<std::string>> values;
    std::map<std::string, bool> set;
    for (const std::string &name : valueOptions)
        app.add_option("--" + name, values[name])->expected(1)->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    for (const std::string &name : flags)
        app.add_flag("--" + name, set[name]);
    app.add_option("arguments", m_positional);

    std::vector<std::string> reversed;  // the order CLI11's parse takes
    for (auto word = args.rbegin(); word != args.rend(); ++word)
        reversed.push_back(Marked(*word));
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch &e) {
        m_error = OptionNamed(e) + " needs a value";
        return;
    } catch (const CLI::ParseError &e) {
        m_error = e.what();
        return;
    }
    for (const std::string &extra : app.remaining()) {
        m_error = extra.compare(0, 2, "--") == 0 ? "unknown option " + extra.substr(0, extra.find('='))
                                                 : "unexpected argument '" + Unmarked(extra) + "'";
        return;
    }
    for (std::string &word : m_positional)
        word = Unmarked(word);
    for (auto &option : values)
        for (const std::string &value : option.second)
            m_values.emplace(option.first, Unmarked(value));
    for (auto &flag : set)
        if (flag.second)
            m_values.emplace(flag.first, "");
}

std::string Args::Get(const std::string &name, const std::string &fallback) const
{
    auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

std::vector<std::string> Args::GetAll(const std::string &name) const
{
    std::vector<std::string> all;
    auto range = m_values.equal_range(name);
    for (auto it = range.first; it != range.second; ++it)
        all.push_back(it->second);
    return all;
}

// Strictly A.B.C.D in decimal: inet_addr would also take fewer parts, and read
// a leading zero as octal ("010.1.1.1" as 8.1.1.1).
bool ParseIPv4(const std::string &text, DWORD *addr, std::string *error)
{
    unsigned long value = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.'))
            break;
        size_t start = at;
        unsigned number = 0;
        while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9')
            number = number * 10 + (text[at++] - '0');
        size_t digits = at - start;
        if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0'))
            break;
        value = (value << 8) | number;
        if (part == 3 && at == text.size()) {
            *addr = htonl(value);
            return true;
        }
    }
    *error = "'" + text + "' is not an IPv4 address (expected A.B.C.D)";
    return false;
}

bool ParseNumber(const std::string &text, long long min, long long max, long long *value,
                 std::string *error)
{
    char *end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < min || v > max) {
        *error = "'" + text + "' is not a number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    *value = v;
    return true;
}

bool ParsePort(const std::string &text, int *port, std::string *error)
{
    long long v;
    if (!ParseNumber(text, 1, 65535, &v, error)) {
        *error = "'" + text + "' is not a port (1 to 65535)";
        return false;
    }
    *port = static_cast<int>(v);
    return true;
}

bool ParseEndpoint(const std::string &text, DWORD *addr, int *port, std::string *error)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *error = "'" + text + "' is not ADDRESS:PORT";
        return false;
    }
    return ParseIPv4(text.substr(0, colon), addr, error) && ParsePort(text.substr(colon + 1), port, error);
}

bool LoadPayload(const std::string &text, std::vector<unsigned char> *bytes, std::string *error)
{
    if (text.empty() || text[0] != '@') {
        bytes->assign(text.begin(), text.end());
        return true;
    }
    std::ifstream in(text.substr(1), std::ios::binary);
    if (!in) {
        *error = "cannot read the file '" + text.substr(1) + "'";
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool ParseLocalInterfaces(const Args &args, std::vector<DWORD> *locals, std::string *error)
{
    const size_t kMaxInterfaces = 8;  // the multi-interface classes have eight slots
    locals->clear();
    for (const std::string &text : args.GetAll("from")) {
        DWORD addr = 0;
        if (!ParseIPv4(text, &addr, error))
            return false;
        locals->push_back(addr);
    }
    if (locals->size() > kMaxInterfaces) {
        *error = "--from at most eight times";
        return false;
    }
    return true;
}

bool ParseStopAfter(const Args &args, long long *count, long long *seconds, std::string *error)
{
    *count = 0;
    *seconds = 0;
    return (!args.Has("count") || ParseNumber(args.Get("count"), 1, 1000000000, count, error)) &&
           (!args.Has("seconds") || ParseNumber(args.Get("seconds"), 1, 86400, seconds, error));
}

tagParamListen3 OnEachInterface(const tagParamListen &param, const std::vector<DWORD> &locals)
{
    tagParamListen3 several;
    several.nMode = param.nMode;
    several.dwGroupAddr = param.dwGroupAddr;
    several.nPort = param.nPort;
    several.nCount = 0;
    for (DWORD addr : locals)
        if (several.nCount < 8)
            several.dwLocalAddr[several.nCount++] = addr;
    several.pUserData = param.pUserData;
    several.pfnReceive = param.pfnReceive;
    several.nPriority = param.nPriority;
    several.dwStopTimeout = param.dwStopTimeout;
    return several;
}

std::string Dotted(DWORD addr)
{
    in_addr a;
    a.s_addr = addr;
    return inet_ntoa(a);
}

std::string Endpoint(DWORD addr, int port)
{
    return Dotted(addr) + ":" + std::to_string(port);
}

std::string DottedList(const std::vector<DWORD> &addrs)
{
    std::string text;
    for (DWORD a : addrs)
        text += (text.empty() ? "" : ", ") + Dotted(a);
    return text;
}

std::string HexView(const unsigned char *data, size_t length, size_t limit)
{
    std::string out;
    size_t shown = std::min(length, limit);
    char line[96];
    for (size_t row = 0; row < shown; row += 16) {
        int n = snprintf(line, sizeof line, "    %04x ", static_cast<unsigned>(row));
        std::string text;
        for (size_t i = row; i < row + 16; ++i) {
            if (i < shown) {
                n += snprintf(line + n, sizeof line - n, " %02x", data[i]);
                text += (data[i] >= 32 && data[i] < 127) ? static_cast<char>(data[i]) : '.';
            } else {
                n += snprintf(line + n, sizeof line - n, "   ");
            }
        }
        out += std::string(line) + "  " + text + "\n";
    }
    if (shown < length)
        out += "    ... " + std::to_string(length - shown) + " more bytes\n";
    return out;
}

int UsageError(const char *command, const std::string &message)
{
    fprintf(stderr, "kesnet %s: %s\n(see: kesnet help %s)\n", command, message.c_str(), command);
    return kExitUsage;
}

int Failure(const char *command, const std::string &message)
{
    fprintf(stderr, "kesnet %s: %s\n", command, message.c_str());
    return kExitFailed;
}

bool SingleArgument(const char *command, const std::vector<std::string> &argv, const char *what,
                    std::string *value, int *exitCode)
{
    Args args(argv, {}, {});
    if (!args.ok()) {
        *exitCode = UsageError(command, args.error());
        return false;
    }
    if (args.positional().size() != 1) {
        *exitCode = UsageError(command, std::string("expected one ") + what);
        return false;
    }
    *value = args.positional()[0];
    return true;
}

bool OutputIsTerminal()
{
    // NUL is a character device too; only a console has a console mode. Wine
    // makes a Unix terminal a console, and a pipe or a file none.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_CHAR &&
           GetConsoleMode(out, &mode);
}

std::string FormatBytes(double bytes)
{
    static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(static_cast<long long>(bytes)) + " bytes";
    int unit = 0;
    bytes /= 1024;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

namespace {

HANDLE g_interrupted = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(g_interrupted);
    return TRUE;
}

}  // namespace

void StatusLine::Show(const std::string &line)
{
    if (!m_shown)
        return;
    size_t width = std::max(line.size(), m_width);
    printf("\r%-*s", static_cast<int>(width), line.c_str());
    fflush(stdout);
    m_width = line.size();
}

void StatusLine::End()
{
    if (m_shown && m_width != 0)
        printf("\n");
    m_width = 0;
}

void SignalOnInterrupt(HANDLE event)
{
    g_interrupted = event;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

Stopwatch::Stopwatch()
{
    QueryPerformanceCounter(&m_start);
}

double Stopwatch::Milliseconds() const
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (now.QuadPart - m_start.QuadPart) * 1000.0 / frequency.QuadPart;
}

Library::Library() : m_ok(KesInitInstance() == 1) {}

Library::~Library()
{
    if (m_ok)
        KesExitInstance();
}

}  // namespace tool
