// The tests' line to the wake-up receiver on the second host of the private
// network (scripts/wake-receiver.py, started by the test command): it reports
// every wake-up datagram it gets, with the addresses, ports and link it came
// by. Tests that use it take the resource lock wake_receiver.
#ifndef KESNET_TEST_WAKE_RECEIVER_H
#define KESNET_TEST_WAKE_RECEIVER_H

#include <string>
#include <vector>

#include "test_support.h"

namespace kt {

typedef std::vector<BYTE> Bytes;

// Six bytes 0xFF, the hardware address sixteen times, then the password.
Bytes MagicPacket(const BYTE *address, const Bytes &password = Bytes());

// One datagram as the second host saw it.
struct WakeReport {
    DWORD destination = 0;
    DWORD source = 0;
    int sourcePort = 0;
    int destinationPort = 0;
    int link = -1;  // N for the link vethN, -1 for another interface
    Bytes payload;
};

// Whether the test command started the receiver; its control address if so.
bool WakeReceiverAddress(DWORD *addr, int *port);

#define KT_REQUIRE_WAKE_RECEIVER()                                                                  \
    do {                                                                                            \
        DWORD receiverAddr;                                                                         \
        int receiverPort;                                                                           \
        if (!kt::WakeReceiverAddress(&receiverAddr, &receiverPort))                                 \
            GTEST_SKIP() << "needs the private network of the test command (run as root) and its " \
                            "wake-up receiver: broadcasts stay inside it";                          \
    } while (0)

// Announces itself to the receiver on Connect, takes its reports, and says
// goodbye when it goes (the receiver then closes the ports asked for).
class WakeReceiver {
public:
    WakeReceiver();
    ~WakeReceiver();
    bool Connect();
    // The receiver listens on port too, until goodbye.
    bool Listen(int port);
    bool Next(WakeReport *report);

private:
    RawUdp m_socket;
    DWORD m_addr = 0;
    int m_port = 0;
    bool m_connected = false;
};

}  // namespace kt

#endif
