// CTcpSend: the stream sender, a TCP client made by
// KesCreateObject(KES_OBJECT_TCPSEND).
#ifndef KESNET_STREAM_TCP_SEND_H
#define KESNET_STREAM_TCP_SEND_H

#include "kesnet.h"

#include <stdint.h>

namespace auth {
class StreamSealer;
}

class CTcpSend : public CTcpSendObject {
public:
    KESNET_HEAP_OBJECT

    CTcpSend();
    ~CTcpSend();  // closes a connection still open
    // The destructor slot: destroys, and frees with flag bit 0.
    void *Destroy(unsigned int nFlags) override;
    // The slot after it: destroys and frees (g++'s deleting destructor).
    void DeletingDestructor() override;

    // 0 while connected: a second connect leaves the first one as it is.
    int InitInstance(tagParamSend *pParam) override;
    int Send(void *pData, unsigned long dwLength) override;
    void Release() override;
    // Send of a connection authenticated by the class key.
    int SendFramed(const uint8_t *pData, unsigned long dwLength);

    SOCKET m_socket;  // 0 whenever the sender holds no connection
    LONG m_nEpoch;    // Winsock's epoch when the connection was made
    // With the class key: the frames of the connection (owned); null for a
    // plain connection.
    auth::StreamSealer *m_pSealer;
};

#endif
