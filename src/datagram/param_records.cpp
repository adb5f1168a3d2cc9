// Constructors, Reset and copy assignment of the four parameter records.
#include "kesnet.h"

#include <string.h>

tagParamSend::tagParamSend()
{
    Reset();
}

int tagParamSend::Reset()
{
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
