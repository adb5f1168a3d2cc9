// A host as hosts are built: it includes only the exported header and links
// the DLL through its import library.
#include "kesnet.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

template <typename Function>
Function Lookup(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

struct Arrival {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    char text[32] = {};
    ~Arrival() { CloseHandle(event); }
};

void __cdecl OnDatagram(void *pData, int nLength, void *pUserData, unsigned long, int)
{
    Arrival *arrival = static_cast<Arrival *>(pUserData);
    memcpy(arrival->text, pData, nLength < 31 ? nLength : 31);
    SetEvent(arrival->event);
}

DWORD Loopback()
{
    return inet_addr("127.0.0.1");
}

int FreePort()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Loopback();
    bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    int length = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr *>(&sa), &length);
    closesocket(s);
    return ntohs(sa.sin_port);
}

TEST(DllHost, TheProcessWideListenerAndKesSendWorkThroughTheDll)
{
    ASSERT_EQ(1, KesInitInstance());
    Arrival arrival;
    int port = FreePort();
    ASSERT_EQ(1, KesListen(KES_MODE_UNICAST, OnDatagram, port, 0, &arrival, Loopback()));
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "via the DLL", 11, Loopback(), port, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(arrival.event, 10000));
    EXPECT_STREQ("via the DLL", arrival.text);
    EXPECT_EQ(1, KesStopListen());
    EXPECT_EQ(1, KesExitInstance());
}

TEST(DllHost, ExportedClassesAndRecordsWorkThroughTheDll)
{
    ASSERT_EQ(1, KesInitInstance());
    Arrival arrival;
    tagParamListen listen;
    EXPECT_EQ(sizeof listen, listen.dwSize) << "the constructor in the DLL stored the defaults";
    EXPECT_EQ(1000u, listen.dwStopTimeout) << "the constructor in the DLL stored the defaults";
    listen.nPort = FreePort();
    listen.dwLocalAddr = Loopback();
    listen.pfnReceive = OnDatagram;
    listen.pUserData = &arrival;
    CKesListen *listener = new CKesListen;
    ASSERT_EQ(1, listener->InitInstance(&listen));

    tagParamSend send;
    send.dwDestAddr = Loopback();
    send.nDestPort = listen.nPort;
    CKesSend sender;
    ASSERT_EQ(1, sender.InitInstance(&send));
    ASSERT_EQ(1, sender.Send(const_cast<char *>("classes"), 7, 0, 0));
    sender.Release();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(arrival.event, 10000));
    EXPECT_STREQ("classes", arrival.text);
    delete listener;  // the virtual destructor releases a running listener
    EXPECT_EQ(1, KesExitInstance());
}

// Hosts may derive from the listeners, declaring the protected thread bodies
// as the header does; these link only against the names the DLL exports.
class DerivedListen : public CKesListen {
public:
    unsigned long CallThreadProc() { return ThreadProc(); }
};

class DerivedListen3 : public CKesListen3 {
public:
    unsigned long CallThreadProc(int nIndex) { return ThreadProc(nIndex); }
};

TEST(DllHost, ADerivedListenersThreadBodyRunsOnlyOnTheListenersOwnThread)
{
    ASSERT_EQ(1, KesInitInstance());
    Arrival one, three;
    tagParamListen listen;
    listen.nPort = FreePort();
    listen.dwLocalAddr = Loopback();
    listen.pfnReceive = OnDatagram;
    listen.pUserData = &one;
    DerivedListen listener;
    ASSERT_EQ(1, listener.InitInstance(&listen));
    tagParamListen3 listen3;
    listen3.nPort = FreePort();
    listen3.dwLocalAddr[0] = Loopback();
    listen3.nCount = 1;
    listen3.pfnReceive = OnDatagram;
    listen3.pUserData = &three;
    DerivedListen3 listener3;
    ASSERT_EQ(1, listener3.InitInstance(&listen3));

    // On a host thread there is no receive thread's state to run with.
    EXPECT_EQ(0u, listener.CallThreadProc());
    EXPECT_EQ(0u, listener3.CallThreadProc(0));
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "one", 3, Loopback(), listen.nPort, 0));
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "three", 5, Loopback(), listen3.nPort, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(one.event, 10000)) << "the listener's own thread still serves";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(three.event, 10000)) << "the listener's own thread still serves";
    EXPECT_STREQ("one", one.text);
    EXPECT_STREQ("three", three.text);
    listener.Release();
    listener3.Release();
    EXPECT_EQ(1, KesExitInstance());
}

std::string ProductVersion(const char *module)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(module, &handle);
    std::string data(size, '\0');
    if (size == 0 || !GetFileVersionInfoA(module, handle, size, &data[0]))
        return "";
    char *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(&data[0], "\\StringFileInfo\\040904b0\\ProductVersion", reinterpret_cast<void **>(&value),
                        &length))
        return "";
    return value;
}

TEST(DllHost, TheDllCarriesTheProjectsProductVersion)
{
    EXPECT_EQ(KESNET_EXPECTED_VERSION, ProductVersion("kesnet.dll"));
}

TEST(DllHost, UnloadingWhileAListenerRunsNeverPullsTheCodeFromUnderItsThread)
{
    // A second copy, loaded by name, so that its reference count is ours alone.
    HMODULE module = LoadLibraryA("kesnet_unload_copy.dll");
    ASSERT_NE(nullptr, module);
    typedef int(__cdecl * Plain)();
    auto init = Lookup<Plain>(module, "KesInitInstance");
    auto listen = Lookup<int(__cdecl *)(int, ReceiveProc, int, DWORD, void *, DWORD)>(module, "KesListen");
    auto stop = Lookup<Plain>(module, "KesStopListen");
    auto stopWinsock = Lookup<Plain>(module, "KesExitInstance");
    ASSERT_TRUE(init && listen && stop && stopWinsock);
    ASSERT_EQ(1, init());

    Arrival arrival;
    int port = FreePort();
    ASSERT_EQ(1, listen(KES_MODE_UNICAST, OnDatagram, port, 0, &arrival, Loopback()));
    FreeLibrary(module);  // the host forgot KesStopListen
    EXPECT_EQ(module, GetModuleHandleA("kesnet_unload_copy.dll")) << "the running thread keeps the code loaded";
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "still here", 10, Loopback(), port, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(arrival.event, 10000)) << "and the listener keeps serving";

    // Loaded again and stopped properly, the library unloads with the last reference.
    ASSERT_EQ(module, LoadLibraryA("kesnet_unload_copy.dll"));
    ASSERT_EQ(1, stop());
    ASSERT_EQ(1, stopWinsock());
    FreeLibrary(module);
    EXPECT_EQ(nullptr, GetModuleHandleA("kesnet_unload_copy.dll"));
}

}  // namespace
