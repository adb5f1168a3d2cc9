// The parameter records: defaults, Reset and copy assignment.
#include <string.h>

#include <initializer_list>
#include <vector>

#include "test_support.h"

namespace {

// A record's 32-bit fields in order, as the host sees them in memory.
template <typename Record>
std::vector<DWORD> Fields(const Record &r)
{
    std::vector<DWORD> words(sizeof r / 4);
    memcpy(words.data(), &r, sizeof r);
    return words;
}

template <typename Record>
void Scribble(Record *r)
{
    memset(static_cast<void *>(r), 0xA5, sizeof *r);
}

std::vector<DWORD> Join(std::initializer_list<std::vector<DWORD>> parts)
{
    std::vector<DWORD> all;
    for (const std::vector<DWORD> &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::vector<DWORD> kEightZeros(8, 0);
// A null pointer field in 32-bit words: one in the 32-bit records; two in the
// 64-bit ones, where it starts on an 8-byte boundary after a padding word,
// which the constructor clears as well.
const bool k64 = sizeof(void *) == 8;
const std::vector<DWORD> kPadding = k64 ? std::vector<DWORD>{0} : std::vector<DWORD>{};
const std::vector<DWORD> kNull = k64 ? std::vector<DWORD>{0, 0} : std::vector<DWORD>{0};

TEST(ParamRecords, NewRecordsHoldTheirDefaultsInFieldOrder)
{
    EXPECT_EQ(Fields(tagParamSend()), (std::vector<DWORD>{24, 1, 0, 0, 0, 100}));
    EXPECT_EQ(Fields(tagParamListen()),
              Join({{k64 ? 56u : 44u, 1, 0, 0, 0}, kPadding, kNull, kNull, {0, 0, 5, 1000}}));
    EXPECT_EQ(Fields(tagParamSend3()), Join({{52, 1}, kEightZeros, {0, 0, 0}}));
    EXPECT_EQ(Fields(tagParamListen3()),
              Join({{k64 ? 88u : 72u, 1, 0, 0}, kEightZeros, {0}, kPadding, kNull, kNull, {0, 1000, 100},
                    kPadding}));
    // The same on both architectures: no pointer.
    EXPECT_EQ(Fields(tagParamWake()), Join({{68}, kEightZeros, {0, 9, 0, 0}, {0, 0}, {1, 50}}));
}

TEST(ParamRecords, ResetRestoresEveryDefaultIncludingSize)
{
    tagParamSend send;
    Scribble(&send);
    EXPECT_EQ(0, send.Reset());
    EXPECT_EQ(Fields(send), Fields(tagParamSend()));

    tagParamListen listen;
    Scribble(&listen);
    EXPECT_EQ(0, listen.Reset());
    EXPECT_EQ(Fields(listen), Fields(tagParamListen()));

    tagParamSend3 send3;
    Scribble(&send3);
    send3.Reset();
    EXPECT_EQ(Fields(send3), Fields(tagParamSend3()));

    tagParamListen3 listen3;
    Scribble(&listen3);
    listen3.Reset();
    EXPECT_EQ(Fields(listen3), Fields(tagParamListen3()));

    tagParamWake wake;
    Scribble(&wake);
    wake.Reset();
    EXPECT_EQ(Fields(wake), Fields(tagParamWake()));
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
