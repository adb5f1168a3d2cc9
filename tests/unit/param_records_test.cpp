// The parameter records: the documented defaults, Reset and copy assignment.
#include <stddef.h>
#include <string.h>

#include "test_support.h"

namespace {

const bool k64 = sizeof(void *) == 8;

template <typename Record>
void Scribble(Record *r)
{
    memset(static_cast<void *>(r), 0xA5, sizeof *r);
}

// The bytes from one field's end to the next one's start: padding, in the
// 64-bit records, before a pointer or at the end.
template <typename Record>
bool ZeroBetween(const Record &r, size_t from, size_t to)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&r);
    for (size_t i = from; i < to; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

bool AllZero(const DWORD (&addrs)[8])
{
    for (DWORD a : addrs)
        if (a != 0)
            return false;
    return true;
}

// Each record holds the defaults of the reference's tables, field by field,
// and zero in its padding.
void ExpectDefaults(const tagParamSend &r)
{
    EXPECT_EQ(24u, r.dwSize);
    EXPECT_EQ(1, r.nMode);
    EXPECT_EQ(0u, r.dwLocalAddr);
    EXPECT_EQ(0u, r.dwDestAddr);
    EXPECT_EQ(0, r.nDestPort);
    EXPECT_EQ(100u, r.dwEchoTimeout);
}

void ExpectDefaults(const tagParamListen &r)
{
    EXPECT_EQ(k64 ? 56u : 44u, r.dwSize);
    EXPECT_EQ(1, r.nMode);
    EXPECT_EQ(0u, r.dwGroupAddr);
    EXPECT_EQ(0u, r.dwLocalAddr);
    EXPECT_EQ(0, r.nPort);
    EXPECT_TRUE(ZeroBetween(r, offsetof(tagParamListen, nPort) + 4, offsetof(tagParamListen, pUserData)));
    EXPECT_EQ(nullptr, r.pUserData);
    EXPECT_EQ(nullptr, r.pfnReceive);
    EXPECT_EQ(0, r.nPriority);
    EXPECT_EQ(0, r.bEcho);
    EXPECT_EQ(5, r.nBacklog);
    EXPECT_EQ(1000u, r.dwStopTimeout);
}

void ExpectDefaults(const tagParamSend3 &r)
{
    EXPECT_EQ(52u, r.dwSize);
    EXPECT_EQ(1, r.nMode);
    EXPECT_TRUE(AllZero(r.dwLocalAddr));
    EXPECT_EQ(0, r.nCount);
    EXPECT_EQ(0u, r.dwDestAddr);
    EXPECT_EQ(0, r.nDestPort);
}

void ExpectDefaults(const tagParamListen3 &r)
{
    EXPECT_EQ(k64 ? 88u : 72u, r.dwSize);
    EXPECT_EQ(1, r.nMode);
    EXPECT_EQ(0u, r.dwGroupAddr);
    EXPECT_EQ(0, r.nPort);
    EXPECT_TRUE(AllZero(r.dwLocalAddr));
    EXPECT_EQ(0, r.nCount);
    EXPECT_TRUE(ZeroBetween(r, offsetof(tagParamListen3, nCount) + 4, offsetof(tagParamListen3, pUserData)));
    EXPECT_EQ(nullptr, r.pUserData);
    EXPECT_EQ(nullptr, r.pfnReceive);
    EXPECT_EQ(0, r.nPriority);
    EXPECT_EQ(1000u, r.dwStopTimeout);
    EXPECT_EQ(100, r.nBacklog);
    EXPECT_TRUE(ZeroBetween(r, offsetof(tagParamListen3, nBacklog) + 4, sizeof r));
}

void ExpectDefaults(const tagParamWake &r)
{
    EXPECT_EQ(68u, r.dwSize);
    EXPECT_TRUE(AllZero(r.dwLocalAddr));
    EXPECT_EQ(0, r.nCount);
    EXPECT_EQ(9, r.nPort);
    EXPECT_EQ(0, r.bLimitedBroadcast);
    EXPECT_EQ(0, r.nPasswordLength);
    for (BYTE b : r.byPassword)
        EXPECT_EQ(0, b);
    EXPECT_EQ(1, r.nRepeat);
    EXPECT_EQ(50u, r.dwRepeatGap);
}

// A new record, and one that held other bytes everywhere before Reset.
template <typename Record>
void ExpectDefaultsNewAndAfterReset(const char *name)
{
    SCOPED_TRACE(name);
    {
        SCOPED_TRACE("new");
        ExpectDefaults(Record());
    }
    SCOPED_TRACE("after Reset");
    Record r;
    Scribble(&r);
    r.Reset();
    ExpectDefaults(r);
}

TEST(ParamRecords, NewAndResetRecordsHoldTheDocumentedDefaults)
{
    ExpectDefaultsNewAndAfterReset<tagParamSend>("tagParamSend");
    ExpectDefaultsNewAndAfterReset<tagParamListen>("tagParamListen");
    ExpectDefaultsNewAndAfterReset<tagParamSend3>("tagParamSend3");
    ExpectDefaultsNewAndAfterReset<tagParamListen3>("tagParamListen3");
    ExpectDefaultsNewAndAfterReset<tagParamWake>("tagParamWake");
    tagParamSend send;
    tagParamListen listen;
    EXPECT_EQ(0, send.Reset());
    EXPECT_EQ(0, listen.Reset());
}

template <typename Record>
void ExpectAssignmentCopiesEveryByte()
{
    Record source;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(&source);
    for (size_t i = 0; i < sizeof source; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    Record target;
    Record &result = (target = source);
    EXPECT_EQ(&result, &target);
    EXPECT_EQ(0, memcmp(&target, &source, sizeof source));
}

TEST(ParamRecords, AssignmentCopiesEveryFieldAndAllEightAddresses)
{
    ExpectAssignmentCopiesEveryByte<tagParamSend>();
    ExpectAssignmentCopiesEveryByte<tagParamListen>();
    ExpectAssignmentCopiesEveryByte<tagParamSend3>();
    ExpectAssignmentCopiesEveryByte<tagParamListen3>();
    ExpectAssignmentCopiesEveryByte<tagParamWake>();

    tagParamListen3 source;
    source.nCount = 2;
    source.dwLocalAddr[7] = 0x0100007F;  // beyond nCount: still copied
    tagParamListen3 target;
    target = source;
    EXPECT_EQ(0x0100007Fu, target.dwLocalAddr[7]);
}

}  // namespace
