// Demo step: Wake-on-LAN, sent to the second host of the private network, as
// the network has always sent it (KesLanWakeUp) and through every interface
// to each subnet (KesWakeUp). A receiver there (scripts/wake-receiver.py,
// started by scripts/demo.sh) tells its hardware address and reports the
// packets it gets, with the addresses and the link they came by.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "args.h"
#include "demo.h"
#include "hardware_address.h"
#include "kesnet.h"

namespace tool {
namespace {

// The demo's line to the receiver: plain Winsock, since the receiver's control
// messages are no part of the library.
class ReceiverLine {
public:
    explicit ReceiverLine(DWORD local) : m_socket(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))
    {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = local;
        if (m_socket != INVALID_SOCKET && bind(m_socket, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            closesocket(m_socket);
            m_socket = INVALID_SOCKET;
        }
    }
    ~ReceiverLine()
    {
        if (m_socket != INVALID_SOCKET) {
            Send("bye");
            closesocket(m_socket);
        }
    }

    bool Connect(const std::string &endpoint)
    {
        std::string error;
        return m_socket != INVALID_SOCKET && ParseEndpoint(endpoint, &m_addr, &m_port, &error) && Send("report");
    }

    // The receiver listens on port too, for as long as this line is open.
    bool Listen(int port)
    {
        std::string request = "listen " + std::to_string(port);
        std::vector<BYTE> answer;
        return Send(request.c_str()) && Receive(&answer) &&
               std::string(answer.begin(), answer.end()) == "listening " + std::to_string(port);
    }

    // The next datagram from the receiver, waiting at most 5 seconds.
    bool Receive(std::vector<BYTE> *data)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket, &readable);
        timeval limit = {5, 0};
        if (select(0, &readable, nullptr, nullptr, &limit) != 1)
            return false;
        data->resize(2048);
        int n = recv(m_socket, reinterpret_cast<char *>(data->data()), static_cast<int>(data->size()), 0);
        data->resize(n > 0 ? n : 0);
        return n > 0;
    }

private:
    bool Send(const char *text)
    {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u_short>(m_port));
        to.sin_addr.s_addr = m_addr;
        int length = static_cast<int>(strlen(text));
        return sendto(m_socket, text, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == length;
    }

    SOCKET m_socket;
    DWORD m_addr = 0;
    int m_port = 0;
};

void ShowThisHostsAdapters()
{
    std::vector<BYTE> list(255 * kHardwareAddressBytes);
    int count = KesGetNetCard(list.data());
    std::string shown;
    for (int i = 0; i < count; ++i)
        shown += (i ? " " : "") + FormatHardwareAddress(&list[i * kHardwareAddressBytes]);
    Say("adapters", "KesGetNetCard -> " + std::to_string(count) + ": " + (count ? shown : "(none)") +
                        "\n             (another machine would keep these to wake this one)");
}

// What the receiver reports of one datagram it got.
struct Report {
    DWORD destination = 0;
    DWORD source = 0;
    int sourcePort = 0;
    int destinationPort = 0;
    int link = 0;  // N for the link vethN
    std::vector<BYTE> packet;
};

bool ReceiveReport(ReceiverLine *line, Report *report)
{
    std::vector<BYTE> data;
    if (!line->Receive(&data) || data.size() < 14)
        return false;
    memcpy(&report->destination, &data[0], 4);
    memcpy(&report->source, &data[4], 4);
    report->sourcePort = data[8] << 8 | data[9];
    report->destinationPort = data[10] << 8 | data[11];
    report->link = data[12] << 8 | data[13];
    report->packet.assign(data.begin() + 14, data.end());
    return true;
}

void ShowReport(const Report &report)
{
    std::string hex = HexView(report.packet.data(), report.packet.size());
    hex.pop_back();  // Say ends the line
    Say("received", "the second host got " + std::to_string(report.packet.size()) + " bytes from " +
                        Endpoint(report.source, report.sourcePort) + " to " +
                        Endpoint(report.destination, report.destinationPort) + " through link veth" +
                        std::to_string(report.link) + ":\n" + hex);
}

bool IsMagicPacketFor(const std::vector<BYTE> &packet, const BYTE *address, const std::vector<BYTE> &password)
{
    if (packet.size() != 102 + password.size())
        return false;
    for (int i = 0; i < 6; ++i)
        if (packet[i] != 0xFF)
            return false;
    for (int copy = 0; copy < 16; ++copy)
        if (memcmp(&packet[6 + copy * 6], address, 6) != 0)
            return false;
    return std::equal(password.begin(), password.end(), packet.begin() + 102);
}

bool LanWakeUp(const DemoNetwork &net, ReceiverLine *line, const BYTE *address, const std::string &hardware)
{
    bool ok = Check(KesLanWakeUp(net.local, address, 1) == 1,
                    "KesLanWakeUp(from " + Dotted(net.local) + ", " + hardware + ") -> 255.255.255.255:2304");
    Report report;
    bool arrived = ok && ReceiveReport(line, &report);
    if (arrived) {
        ShowReport(report);
        ok &= Check(IsMagicPacketFor(report.packet, address, {}), "six bytes 0xFF, then " + hardware + " sixteen times");
    }
    return Check(arrived, "the magic packet reached the second host") && ok;
}

// Through each interface to its own subnet, port 9, with a SecureOn password.
bool WakeUpThroughEveryInterface(ReceiverLine *line, const BYTE *address, const std::string &hardware)
{
    DWORD addr[8], mask[8];
    int count = KesGetInterfaces(addr, mask, 8);
    std::string listed;
    for (int i = 0; i < count && i < 8; ++i)
        listed += (i ? ", " : "") + Dotted(addr[i]) + " mask " + Dotted(mask[i]) + " -> " +
                  Dotted(addr[i] | ~mask[i]);
    Say("interfaces", "KesGetInterfaces -> " + std::to_string(count) + ": " + listed);
    if (!Check(count == 2 && line->Listen(9), "two interfaces; the second host listens on UDP port 9 too"))
        return false;

    tagParamWake param;  // every interface, port 9, one round
    const std::vector<BYTE> password = {0x53, 0x65, 0x63, 0x72, 0x65, 0x74};
    param.nPasswordLength = static_cast<int>(password.size());
    std::copy(password.begin(), password.end(), param.byPassword);
    bool ok = Check(KesWakeUp(&param, address, 1) == 2,
                    "KesWakeUp(every interface, port 9, password \"Secret\", " + hardware + ") = 2");
    Say("", "one packet through each interface, to its own subnet's broadcast address");
    std::vector<int> links;
    std::vector<DWORD> sources;
    for (int i = 0; ok && i < 2; ++i) {
        Report report;
        if (!Check(ReceiveReport(line, &report), "a magic packet reached the second host"))
            return false;
        ShowReport(report);
        int from = report.source == addr[0] ? 0 : report.source == addr[1] ? 1 : -1;
        bool fits = from >= 0 && report.destination == (addr[from] | ~mask[from]) && report.destinationPort == 9 &&
                    IsMagicPacketFor(report.packet, address, password) &&
                    std::find(links.begin(), links.end(), report.link) == links.end() &&
                    std::find(sources.begin(), sources.end(), report.source) == sources.end();
        ok &= Check(fits, "108 bytes, the password last, from " + Dotted(report.source) +
                              " to its own subnet, through a link of its own");
        links.push_back(report.link);
        sources.push_back(report.source);
    }
    return ok;
}

bool WakeUpTheSecondHost(const DemoNetwork &net)
{
    const char *receiver = getenv("KESNET_WAKE_RECEIVER");
    if (!net.isPrivate || receiver == nullptr) {
        Say("skipped", "Wake-on-LAN broadcasts, so it is shown only inside the private network namespace\n"
                       "             that scripts/demo.sh makes as root");
        return true;
    }
    ShowThisHostsAdapters();

    ReceiverLine line(net.local);
    std::vector<BYTE> ready;
    if (!Check(line.Connect(receiver) && line.Receive(&ready) && ready.size() == 23 &&
                   memcmp(ready.data(), "ready ", 6) == 0,
               std::string("the second host is listening on UDP port 2304 (namespace ") +
                   (getenv("KESNET_DEMO_PEER_NS") ? getenv("KESNET_DEMO_PEER_NS") : "?") + ")"))
        return false;
    std::string peerHardware(ready.begin() + 6, ready.end());
    BYTE address[kHardwareAddressBytes];
    std::string error;
    if (!Check(ParseHardwareAddress(peerHardware, address, &error), "its hardware address: " + peerHardware))
        return false;
    bool ok = LanWakeUp(net, &line, address, peerHardware);
    return WakeUpThroughEveryInterface(&line, address, peerHardware) && ok;
}

}  // namespace

KESNET_DEMO_STEP(wake, 82, "Wake-on-LAN (KesGetNetCard, KesLanWakeUp, KesGetInterfaces, KesWakeUp)",
                 WakeUpTheSecondHost);

}  // namespace tool
