// kesnet tcp-send: connect to a TCP server and send text or a file.
#include "kesnet.h"

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

const size_t kBlockSize = 65536;  // a file goes out in blocks of this size
const double kProgressEveryMs = 200;

// How far a file has gone: bytes, percent and rate, on a terminal's status
// line, rewritten at most every 200 ms and once at the end.
class Progress {
public:
    explicit Progress(unsigned long long total) : m_total(total) {}

    void Update(unsigned long long sent)
    {
        if (m_line.shown() && m_clock.Milliseconds() - m_lastShownMs >= kProgressEveryMs)
            Show(sent);
    }
    void Finish(unsigned long long sent)
    {
        Show(sent);
        m_line.End();
    }

private:
    void Show(unsigned long long sent)
    {
        double ms = m_clock.Milliseconds();
        m_lastShownMs = ms;
        int percent = m_total ? static_cast<int>(sent * 100 / m_total) : 100;
        m_line.Show(FormatBytes(static_cast<double>(sent)) + " of " + FormatBytes(static_cast<double>(m_total)) +
                    " (" + std::to_string(percent) + "%), " +
                    (ms > 0 ? FormatBytes(sent * 1000.0 / ms) : std::string("0 bytes")) + "/s");
    }

    unsigned long long m_total;
    StatusLine m_line;
    Stopwatch m_clock;
    double m_lastShownMs = -kProgressEveryMs;
};

unsigned long long FileSize(FILE *file)
{
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return 0;
    long long size = _ftelli64(file);
    rewind(file);
    return size > 0 ? static_cast<unsigned long long>(size) : 0;
}

// Sends the file block by block, so that a file of any size needs one block of
// memory. *sent counts the bytes that went.
bool SendFile(CTcpSendObject *sender, FILE *file, unsigned long long *sent, size_t *blocks)
{
    Progress progress(FileSize(file));
    std::vector<unsigned char> block(kBlockSize);
    for (;;) {
        size_t n = fread(block.data(), 1, block.size(), file);
        if (n == 0) {
            progress.Finish(*sent);
            return ferror(file) == 0;
        }
        if (!sender->Send(block.data(), static_cast<unsigned long>(n))) {
            progress.Finish(*sent);
            return false;
        }
        *sent += n;
        ++*blocks;
        progress.Update(*sent);
    }
}

int RunTcpSend(const std::vector<std::string> &argv)
{
    const char *name = "tcp-send";
    Args args(argv, {"from"}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 2)
        return UsageError(name, "expected ADDRESS:PORT and TEXT or @FILE");
    std::string error;
    tagParamSend param;
    if (!ParseEndpoint(args.positional()[0], &param.dwDestAddr, &param.nDestPort, &error) ||
        (args.Has("from") && !ParseIPv4(args.Get("from"), &param.dwLocalAddr, &error)))
        return UsageError(name, error);
    const std::string &what = args.positional()[1];
    bool isFile = !what.empty() && what[0] == '@';
    FILE *file = isFile ? fopen(what.c_str() + 1, "rb") : nullptr;
    if (isFile && file == nullptr)
        return UsageError(name, "cannot read the file '" + what.substr(1) + "'");

    Library library;
    CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    std::string to = Endpoint(param.dwDestAddr, param.nDestPort) +
                     (param.dwLocalAddr ? " from " + Dotted(param.dwLocalAddr) : std::string());
    int result = kExitOk;
    if (!library.ok()) {
        result = Failure(name, "Winsock 2.2 could not be started");
    } else if (sender == nullptr || !sender->InitInstance(&param)) {
        result = Failure(name, "cannot connect to " + to);
    } else {
        unsigned long long sent = 0;
        size_t blocks = 0;
        bool ok = isFile ? SendFile(sender, file, &sent, &blocks)
                         : sender->Send(const_cast<char *>(what.data()), static_cast<unsigned long>(what.size()));
        if (!isFile && ok) {
            sent = what.size();
            blocks = 1;
        }
        if (ok)
            printf("sent %llu bytes to %s in %zu blocks\n", sent, to.c_str(), blocks);
        else
            result = Failure(name, "the connection to " + to + " failed after " + std::to_string(sent) + " bytes");
        sender->Release();
    }
    if (sender != nullptr)
        sender->Delete();
    if (file != nullptr)
        fclose(file);
    return result;
}

}  // namespace

KESNET_COMMAND(tcp_send, "tcp-send", "ADDRESS:PORT TEXT|@FILE [--from LOCAL]",
               "connect over TCP and send text or a file",
               "Connects to ADDRESS:PORT with a CTcpSend (KesCreateObject(2)) from a port of\n"
               "the system's choice, sends TEXT, or the whole of FILE of any size in blocks\n"
               "of 64 KiB, and closes the connection. While a FILE goes out, a terminal\n"
               "shows how far it has gone (bytes, percent, rate); a pipe or a file gets\n"
               "only the closing line.\n",
               {{"ADDRESS:PORT", "the TCP server to connect to"},
                {"TEXT|@FILE", "what to send: TEXT as it stands, or the bytes of FILE"}},
               {{"--from LOCAL", "connect from the local interface LOCAL"}},
               "connected, and every byte was sent",
               "the connection could not be made, or failed while sending",
               RunTcpSend, 40);

}  // namespace tool
