// Constructors, Reset and copy assignment of the parameter records.
#include "kesnet.h"

#include <string.h>

namespace {

// Every byte first, so that each Reset below sets only the defaults that are
// not 0 (null, FALSE): the 64-bit records' padding before their pointers holds
// zeros too, so two records with the same fields are the same bytes (and
// copies of them carry nothing left over).
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
    Clear(this);  // nPriority 0 (normal), bEcho FALSE
    dwSize = sizeof(tagParamListen);
    nMode = KES_MODE_UNICAST;
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
    Clear(this);  // nPriority 0 (normal)
    dwSize = sizeof(tagParamListen3);
    nMode = KES_MODE_UNICAST;
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
    Clear(this);  // bLimitedBroadcast FALSE
    dwSize = sizeof(tagParamWake);
    nPort = 9;
    nRepeat = 1;
    dwRepeatGap = 50;
}

tagParamWake &tagParamWake::operator=(const tagParamWake &other)
{
    memmove(static_cast<void *>(this), &other, sizeof *this);
    return *this;
}
