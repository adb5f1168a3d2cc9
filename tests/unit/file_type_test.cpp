// SIsFileBmp and SIsFileWav over real files in a temporary folder.
#include <string>

#include "temp_tree.h"
#include "test_support.h"

namespace {

class FileType : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tree.ok()); }

    int IsBmp(const std::string &relative) { return SIsFileBmp(tree.Path(relative).c_str()); }

    // SIsFileBmp closes what it opened: nobody else holds the file afterwards.
    bool HeldByNobody(const std::string &relative)
    {
        HANDLE file = CreateFileA(tree.Path(relative).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(file);
        return true;
    }

    kt::TempTree tree;
};

TEST_F(FileType, BitmapIsAtLeastFourBytesStartingWithBM)
{
    struct Case {
        const char *name;
        std::string bytes;
        int expected;
    } cases[] = {
        {"empty", "", 0},
        {"one byte", "B", 0},
        {"three bytes", "BMx", 0},
        {"four bytes", "BMxy", 1},
        {"a header", std::string("BM\x36\x00\x0c\x00\x00\x00", 8) + std::string(1000, '\0'), 1},
        {"lower case", "bmxy", 0},
        {"swapped", "MBxy", 0},
        {"one byte in", "xBMy", 0},
        {"only B", "Bxyz", 0},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(tree.WriteFile(c.name, c.bytes)) << c.name;
        EXPECT_EQ(c.expected, IsBmp(c.name)) << c.name;
        EXPECT_TRUE(HeldByNobody(c.name)) << c.name;
    }
}

// The size's high part counts: past 4 GiB the low part alone may be under 4.
TEST_F(FileType, BitmapPast4GiBIsJudgedByItsWholeSize)
{
    struct Case {
        const char *name;
        ULONGLONG size;
        int expected;
    } cases[] = {
        {"4 GiB", 1ULL << 32, 1},
        {"4 GiB and 2 bytes", (1ULL << 32) + 2, 1},
        {"5 GiB", 5ULL << 30, 1},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(tree.WriteSparseFile(c.name, c.size, "BM")) << c.name;
        EXPECT_EQ(c.expected, IsBmp(c.name)) << c.name;
        EXPECT_TRUE(HeldByNobody(c.name)) << c.name;
    }
}

TEST_F(FileType, BitmapTestGivesZeroForDirectoriesAndMissingFiles)
{
    ASSERT_TRUE(tree.MakeDirectory("BMdir"));
    EXPECT_EQ(0, IsBmp("BMdir"));
    EXPECT_EQ(0, IsBmp("BMdir\\"));
    EXPECT_EQ(0, IsBmp("missing.bmp"));
    EXPECT_EQ(0, IsBmp("missing\\below.bmp"));
    EXPECT_EQ(0, SIsFileBmp(""));
}

// The file is opened without sharing, so a file that is open elsewhere, in any
// way, gives 0; once it is closed the same file gives 1.
TEST_F(FileType, BitmapOpenElsewhereGivesZero)
{
    ASSERT_TRUE(tree.WriteFile("open.bmp", "BM and more"));
    struct Case {
        const char *how;
        DWORD access;
        DWORD share;
    } cases[] = {
        {"read, no sharing", GENERIC_READ, 0},
        {"write, no sharing", GENERIC_WRITE, 0},
        {"read, sharing everything", GENERIC_READ,
         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
    };
    for (const Case &c : cases) {
        HANDLE held = CreateFileA(tree.Path("open.bmp").c_str(), c.access, c.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held) << c.how;
        EXPECT_EQ(0, IsBmp("open.bmp")) << c.how;
        CloseHandle(held);
        EXPECT_EQ(1, IsBmp("open.bmp")) << c.how;
    }
}

TEST_F(FileType, WaveTestSaysYesWithoutLooking)
{
    ASSERT_TRUE(tree.WriteFile("sound.wav", "RIFF....WAVE"));
    ASSERT_TRUE(tree.WriteFile("picture.bmp", "BMxy"));
    ASSERT_TRUE(tree.MakeDirectory("folder"));
    HANDLE held = CreateFileA(tree.Path("picture.bmp").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const std::string paths[] = {tree.Path("sound.wav"), tree.Path("picture.bmp"),
                                 tree.Path("folder"), tree.Path("missing.wav"), ""};
    for (const std::string &path : paths)
        EXPECT_EQ(1, SIsFileWav(path.c_str())) << '"' << path << '"';
    EXPECT_EQ(1, SIsFileWav(nullptr));
    CloseHandle(held);
}

}  // namespace
