// Constructors, Reset and copy assignment of the parameter records.
#include "kesnet.h"

#include <string.h>

namespace {

// Every byte first: the 64-bit records have padding before their pointers,
// which then holds zeros too, so that two records with the same fields are
// the same bytes (and copies of them carry nothing left over).
template <typename Record>
void Clear(Record *record)
{
    memset(static_cast<void *>(record), 0, sizeof *record);
}

}  // namespace

tagParamSend::tagParamSend()
{
    Reset();
}

int tagParamSend::Reset()
{
    Clear(this);
    dwSize = sizeof(tagParamSend);
    nMode = KES_MODE_UNICAST;
    dwLocalAddr = 0;
    dwDestAddr = 0;
    nDestPort = 0;
    dwEchoTimeout = 100;
    return 0;
}

tagParamSend &tagParamSend::operator=(const tagParamSend &other)
{
    memmove(static_cast<void *>(this), &other, sizeof *this);
    return *this;
}

tagParamListen::tagParamListen()
{
    Reset();
}

int tagParamListen::Reset()
{
    Clear(this);
    dwSize = sizeof(tagParamListen);
    nMode = KES_MODE_UNICAST;
    dwGroupAddr = 0;
    dwLocalAddr = 0;
    nPort = 0;
    pUserData = nullptr;
    pfnReceive = nullptr;
    nPriority = THREAD_PRIORITY_NORMAL;
    bEcho = FALSE;
    nBacklog = 5;
    dwStopTimeout = 1000;
    return 0;
}

tagParamListen &tagParamListen::operator=(const tagParamListen &other)
{
    memmove(static_cast<void *>(this), &other, sizeof *this);
    return *this;
}

tagParamSend3::tagParamSend3()
{
    Reset();
}

void tagParamSend3::Reset()
{
    Clear(this);
    dwSize = sizeof(tagParamSend3);
    nMode = KES_MODE_UNICAST;
    memset(dwLocalAddr, 0, sizeof dwLocalAddr);
    nCount = 0;
    dwDestAddr = 0;
    nDestPort = 0;
}

tagParamSend3 &tagParamSend3::operator=(const tagParamSend3 &other)
{
    memmove(static_cast<void *>(this), &other, sizeof *this);
    return *this;
}

tagParamListen3::tagParamListen3()
{
    Reset();
}

void tagParamListen3::Reset()
{
    Clear(this);
    dwSize = sizeof(tagParamListen3);
    nMode = KES_MODE_UNICAST;
    dwGroupAddr = 0;
    nPort = 0;
    memset(dwLocalAddr, 0, sizeof dwLocalAddr);
    nCount = 0;
    pUserData = nullptr;
    pfnReceive = nullptr;
    nPriority = THREAD_PRIORITY_NORMAL;
    dwStopTimeout = 1000;
    nBacklog = 100;
}

tagParamListen3 &tagParamListen3::operator=(const tagParamListen3 &other)
{
    memmove(static_cast<void *>(this), &other, sizeof *this);
    return *this;
}

tagParamWake::tagParamWake()
{
    Reset();
}

void tagParamWake::Reset()
{
    Clear(this);
    dwSize = sizeof(tagParamWake);
    memset(dwLocalAddr, 0, sizeof dwLocalAddr);
    nCount = 0;
    nPort = 9;
    bLimitedBroadcast = FALSE;
    nPasswordLength = 0;
    memset(byPassword, 0, sizeof byPassword);
    nRepeat = 1;
    dwRepeatGap = 50;
}

tagParamWake &tagParamWake::operator=(const tagParamWake &other)
{
    memmove(static_cast<void *>(this), &other, sizeof *this);
    return *this;
}
