#include "bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "auth/crypto.h"
#include "auth/keys.h"

namespace bench {

long long Ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double TicksToSeconds(long long ticks)
{
    static const double perSecond = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return static_cast<double>(ticks) / perSecond;
}

void Sample(const std::string &figure, const std::string &variant, double value)
{
    printf("sample\t%s\t%s\t%.6g\n", figure.c_str(), variant.c_str(), value);
    fflush(stdout);
}

void Fail(const std::string &what)
{
    printf("error\t%s\n", what.c_str());
    fflush(stdout);
    exit(1);
}

void Interleave(const std::vector<std::string> &figures, int reps, const std::vector<Variant> &variants)
{
    for (const Variant &v : variants)
        v.run();
    for (int r = 0; r < reps; r++) {
        for (size_t i = 0; i < variants.size(); i++) {
            const Variant &v = variants[r % 2 == 0 ? i : variants.size() - 1 - i];
            std::vector<double> values = v.run();
            for (size_t f = 0; f < figures.size() && f < values.size(); f++)
                Sample(figures[f], v.name, values[f]);
        }
    }
}

DWORD Addr(const char *dotted)
{
    return inet_addr(dotted);
}

sockaddr_in SocketAddress(DWORD addr, int port)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
}

SOCKET BoundSocket(int type, DWORD addr, int port, bool reuse)
{
    SOCKET s = socket(AF_INET, type, 0);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in local = SocketAddress(addr, port);
    if ((reuse && !SetIntOption(s, SO_REUSEADDR, 1)) ||
        bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

int BoundPort(SOCKET s)
{
    sockaddr_in sa = {};
    int length = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

int FreePort(int type, DWORD addr)
{
    SOCKET s = BoundSocket(type, addr, 0, false);
    int port = s == INVALID_SOCKET ? 0 : BoundPort(s);
    if (s != INVALID_SOCKET)
        closesocket(s);
    if (port == 0)
        Fail("cannot find a free port");
    return port;
}

bool SetIntOption(SOCKET s, int option, int value)
{
    return setsockopt(s, SOL_SOCKET, option, reinterpret_cast<char *>(&value), sizeof value) == 0;
}

Options ParseOptions(int argc, char **argv)
{
    Options o;
    o.local = Addr("127.0.0.1");
    for (int i = 1; i < argc; i++) {
        bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--quick") == 0)
            o.quick = true;
        else if (strcmp(argv[i], "--auth") == 0)
            o.auth = true;
        else if (strcmp(argv[i], "--reps") == 0 && hasValue)
            o.reps = atoi(argv[++i]);
        else if (strcmp(argv[i], "--local") == 0 && hasValue)
            o.local = Addr(argv[++i]);
        else
            Fail(std::string("unknown argument ") + argv[i]);
    }
    if (o.reps < 1 || o.local == INADDR_NONE)
        Fail("bad --reps or --local");
    return o;
}

namespace {

// The keys the authentication benchmarks run with, made on first use.
struct Keys {
    uint8_t classKey[auth::kClassKeyBytes];
    uint8_t teacher[auth::kPrivateKeyBytes + auth::kPublicKeyBytes];  // d, then x and y
};

const Keys &TheKeys()
{
    static const Keys keys = [] {
        Keys made;
        auth::TeacherPrivateKey teacher;
        if (!auth::RandomBytes(made.classKey, sizeof made.classKey) || !auth::GenerateTeacherKey(&teacher))
            Fail("cannot make the keys");
        memcpy(made.teacher, teacher.d, sizeof teacher.d);
        memcpy(made.teacher + sizeof teacher.d, teacher.pub.xy, sizeof teacher.pub.xy);
        return made;
    }();
    return keys;
}

}  // namespace

void Authenticate(Auth auth)
{
    bool ok = KesAuthClear() == KES_AUTH_OK;
    if (auth != Auth::kNone)
        ok = ok && KesAuthSetKey(KES_KEY_CLASS, TheKeys().classKey, sizeof TheKeys().classKey) == KES_AUTH_OK;
    if (auth == Auth::kTeacher)
        ok = ok && KesAuthSetKey(KES_KEY_TEACHER_PRIVATE, TheKeys().teacher, sizeof TheKeys().teacher) == KES_AUTH_OK;
    if (!ok)
        Fail("the library refused a key");
}

Library::Library()
{
    if (KesInitInstance() != 1)
        Fail("Winsock 2.2 could not be started");
}

}  // namespace bench
