#include "wake_receiver.h"

#include <stdlib.h>
#include <string.h>

namespace kt {

namespace {

const size_t kHeaderBytes = 14;
const int kNoLink = 0xFFFF;

}  // namespace

Bytes MagicPacket(const BYTE *address, const Bytes &password)
{
    Bytes packet(6, 0xFF);
    for (int i = 0; i < 16; ++i)
        packet.insert(packet.end(), address, address + 6);
    packet.insert(packet.end(), password.begin(), password.end());
    return packet;
}

bool WakeReceiverAddress(DWORD *addr, int *port)
{
    const char *s = getenv("KESNET_WAKE_RECEIVER");
    if (!InPrivateNetwork() || s == nullptr)
        return false;
    std::string text = s;
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    *addr = Addr(text.substr(0, colon).c_str());
    *port = atoi(text.c_str() + colon + 1);
    return true;
}

WakeReceiver::WakeReceiver() : m_socket(LocalVeth(0)) {}

WakeReceiver::~WakeReceiver()
{
    if (m_connected)
        m_socket.SendTo("bye", 3, m_addr, m_port);
}

bool WakeReceiver::Connect()
{
    Datagram ready;
    m_connected = WakeReceiverAddress(&m_addr, &m_port) && m_socket.ok() && m_socket.SendTo("report", 6, m_addr, m_port) &&
                  m_socket.Receive(&ready) && Text(ready).rfind("ready", 0) == 0;
    return m_connected;
}

bool WakeReceiver::Listen(int port)
{
    std::string request = "listen " + std::to_string(port);
    Datagram answer;
    return m_socket.SendTo(request.data(), static_cast<int>(request.size()), m_addr, m_port) &&
           m_socket.Receive(&answer) && Text(answer) == "listening " + std::to_string(port);
}

bool WakeReceiver::Next(WakeReport *report)
{
    Datagram d;
    if (!m_socket.Receive(&d) || d.data.size() < kHeaderBytes)
        return false;
    const BYTE *p = d.data.data();
    memcpy(&report->destination, p, 4);
    memcpy(&report->source, p + 4, 4);
    report->sourcePort = p[8] << 8 | p[9];
    report->destinationPort = p[10] << 8 | p[11];
    int link = p[12] << 8 | p[13];
    report->link = link == kNoLink ? -1 : link;
    report->payload.assign(p + kHeaderBytes, p + d.data.size());
    return true;
}

}  // namespace kt
