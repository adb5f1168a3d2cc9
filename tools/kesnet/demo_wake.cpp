// Demo step: Wake-on-LAN, sent to the second host of the private network. A
// receiver there (scripts/wake-receiver.py, started by scripts/demo.sh) tells
// its hardware address and reports the packet it gets, with the addresses it
// carried.
#include <stdlib.h>
#include <string.h>

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

bool IsMagicPacketFor(const std::vector<BYTE> &packet, const BYTE *address)
{
    if (packet.size() != 102)
        return false;
    for (int i = 0; i < 6; ++i)
        if (packet[i] != 0xFF)
            return false;
    for (int copy = 0; copy < 16; ++copy)
        if (memcmp(&packet[6 + copy * 6], address, 6) != 0)
            return false;
    return true;
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

    bool ok = Check(KesLanWakeUp(net.local, address, 1) == 1,
                    "KesLanWakeUp(from " + Dotted(net.local) + ", " + peerHardware + ") -> 255.255.255.255:2304");
    std::vector<BYTE> report;
    bool arrived = ok && line.Receive(&report) && report.size() >= 14;
    if (arrived) {
        DWORD destination, source;
        memcpy(&destination, &report[0], 4);
        memcpy(&source, &report[4], 4);
        int sourcePort = report[8] << 8 | report[9];
        std::vector<BYTE> packet(report.begin() + 14, report.end());
        std::string hex = HexView(packet.data(), packet.size());
        hex.pop_back();  // Say ends the line
        Say("received", "the second host got " + std::to_string(packet.size()) + " bytes from " +
                            Endpoint(source, sourcePort) + " to " + Endpoint(destination, 2304) + ":\n" + hex);
        ok &= Check(IsMagicPacketFor(packet, address), "six bytes 0xFF, then " + peerHardware + " sixteen times");
    }
    ok &= Check(arrived, "the magic packet reached the second host");
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(wake, 82, "Wake-on-LAN (KesGetNetCard, KesLanWakeUp)", WakeUpTheSecondHost);

}  // namespace tool
