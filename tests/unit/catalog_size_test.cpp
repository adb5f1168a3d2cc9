// SFGetCatalogSize: sums over real trees in a temporary folder.
#include <string>
#include <vector>

#include "temp_tree.h"
#include "test_support.h"

namespace {

const ULONGLONG kGiB = 1ULL << 30;

DWORD SumOf(const std::string &path)
{
    return static_cast<DWORD>(SFGetCatalogSize(path.c_str()));
}

class CatalogSize : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tree.ok()); }

    // Writes the files; returns the sum of their sizes.
    struct File {
        std::string path;
        size_t size;
        DWORD attributes;
    };
    DWORD Write(const std::vector<File> &files)
    {
        DWORD sum = 0;
        for (const File &f : files) {
            EXPECT_TRUE(tree.WriteFile(f.path, std::string(f.size, 'x'), f.attributes)) << f.path;
            sum += static_cast<DWORD>(f.size);
        }
        return sum;
    }

    kt::TempTree tree;
};

TEST_F(CatalogSize, CountsFilesAtEveryDepthWithOrWithoutTrailingBackslash)
{
    const DWORD normal = FILE_ATTRIBUTE_NORMAL;
    DWORD inner = Write({
        {"a\\one.txt", 100, normal},
        {"a\\b\\two.txt", 1000, normal},
        {"a\\b\\c\\d\\e\\deep.bin", 7, normal},
        {"a\\b\\c\\d\\e\\f\\g\\h\\deeper.bin", 30000, normal},
    });
    DWORD total = inner + Write({
        {"top.txt", 3, normal},
        {"hidden.dat", 20, FILE_ATTRIBUTE_HIDDEN},
        {"system.dat", 40, FILE_ATTRIBUTE_SYSTEM},
        {"hidden dir\\inside.dat", 500, normal},
        {"..twodots", 9, normal},
        {".config\\settings", 11, normal},
    });
    ASSERT_TRUE(tree.MakeDirectory("empty\\also empty"));
    ASSERT_TRUE(SetFileAttributesA(tree.Path("hidden dir").c_str(),
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    // The attributes really took, so the sum below really covers them.
    ASSERT_TRUE(GetFileAttributesA(tree.Path("hidden.dat").c_str()) & FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(GetFileAttributesA(tree.Path("system.dat").c_str()) & FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(GetFileAttributesA(tree.Path("hidden dir").c_str()) & FILE_ATTRIBUTE_HIDDEN);

    struct Case {
        std::string path;
        DWORD expected;
    } cases[] = {
        {tree.root(), total},
        {tree.root() + "\\", total},
        {tree.Path("a"), inner},
        {tree.Path("a\\"), inner},
        {tree.Path("a\\b\\c\\d\\e\\f\\g\\h"), 30000},
        {tree.Path("empty"), 0},
        {tree.Path("empty\\also empty\\"), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, SumOf(c.path)) << c.path;
}

TEST_F(CatalogSize, GivesZeroForWhatIsNotASearchableDirectory)
{
    ASSERT_TRUE(tree.WriteFile("file.txt", std::string(123, 'x')));
    const std::string cases[] = {
        tree.Path("file.txt"),
        tree.Path("file.txt\\"),
        tree.Path("missing"),
        tree.Path("missing\\below"),
        "",
    };
    for (const std::string &path : cases)
        EXPECT_EQ(0u, SumOf(path)) << '"' << path << '"';
}

// Each file adds the low 32 bits of its size, and the sum wraps past 4 GiB.
TEST_F(CatalogSize, AddsTheLow32BitsOfEachSizeModulo4GiB)
{
    struct Case {
        std::vector<ULONGLONG> sizes;
        DWORD expected;
    } cases[] = {
        {{5 * kGiB}, static_cast<DWORD>(1 * kGiB)},
        {{5 * kGiB, 10}, static_cast<DWORD>(1 * kGiB + 10)},
        {{4 * kGiB}, 0},
        {{4 * kGiB + 77}, 77},
        {{3 * kGiB, 3 * kGiB}, static_cast<DWORD>(2 * kGiB)},
    };
    for (const Case &c : cases) {
        kt::TempTree sparse;
        ASSERT_TRUE(sparse.ok());
        for (size_t i = 0; i < c.sizes.size(); ++i)
            ASSERT_TRUE(sparse.WriteSparseFile("sub\\big" + std::to_string(i), c.sizes[i]));
        EXPECT_EQ(c.expected, SumOf(sparse.root())) << c.sizes[0];
    }
}

// A volume's root directory has no "." and ".." entries; nothing real may be
// taken for them.
TEST_F(CatalogSize, CountsEveryEntryOfAVolumeRoot)
{
    DWORD total = Write({
        {"first", 1, FILE_ATTRIBUTE_NORMAL},
        {"second", 2, FILE_ATTRIBUTE_NORMAL},
        {"dir\\third", 4, FILE_ATTRIBUTE_NORMAL},
        {"fourth", 8, FILE_ATTRIBUTE_NORMAL},
    });
    kt::MappedDrive drive(tree.root());
    if (!drive.ok())
        GTEST_SKIP() << "no drive letter could be mapped to a folder here";

    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((drive.Root() + "*.*").c_str(), &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    FindClose(search);
    ASSERT_STRNE(".", entry.cFileName) << "this root lists itself; the case would prove nothing";

    EXPECT_EQ(total, SumOf(drive.Root()));
    EXPECT_EQ(4u, SumOf(drive.Root() + "dir"));
}

// Links are made by the test: Wine 8 shows a Unix symbolic link to a
// directory as a directory with FILE_ATTRIBUTE_REPARSE_POINT.
TEST_F(CatalogSize, DoesNotFollowDirectoryLinks)
{
    DWORD total = Write({
        {"top.txt", 5, FILE_ATTRIBUTE_NORMAL},
        {"sub\\inner.txt", 7, FILE_ATTRIBUTE_NORMAL},
    });
    kt::TempTree elsewhere;
    ASSERT_TRUE(elsewhere.WriteFile("outside.txt", std::string(1000, 'x')));
    ASSERT_TRUE(tree.LinkDirectory("sub\\back to top", ".."));
    ASSERT_TRUE(tree.LinkDirectory("itself", "."));
    ASSERT_TRUE(tree.LinkDirectory("sub\\outside", elsewhere.root()));
    for (const char *link : {"sub\\back to top", "itself", "sub\\outside"}) {
        DWORD attributes = GetFileAttributesA(tree.Path(link).c_str());
        ASSERT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
                  attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            << link;
    }

    EXPECT_EQ(total, SumOf(tree.root()));
    EXPECT_EQ(7u, SumOf(tree.Path("sub")));
    // A link named by the caller is the directory asked for: it is walked, and
    // the links inside it are not.
    EXPECT_EQ(total, SumOf(tree.Path("sub\\back to top")));
    EXPECT_EQ(1000u, SumOf(tree.Path("sub\\outside")));
}

// Every path the walk builds must fit in MAX_PATH (260) bytes with its
// terminator: a directory whose search pattern ("\*.*" added) does not fit is
// not searched and adds 0, and so is everything below it.
TEST_F(CatalogSize, StopsWherePathsNoLongerFitInMaxPath)
{
    // Directory names padded so that the search pattern of "fits" takes
    // exactly 259 characters and that of "fits\no" 262.
    const std::string pattern = "\\*.*";
    size_t base = tree.root().size() + 1;  // the root and a backslash
    size_t first = 150;
    ASSERT_LT(base + 10, first) << "the temporary folder's path is too long for this case";
    std::string shallow = std::string(first - base - 1, 's');
    std::string fits = shallow + "\\" + std::string(259 - pattern.size() - first, 'f');
    ASSERT_EQ(259u, tree.Path(fits).size() + pattern.size());
    std::string tooLong = fits + "\\no";
    std::string farTooLong = tooLong + "\\" + std::string(100, 'z');

    // A file with a name long enough that its own path passes MAX_PATH still
    // counts: only directories need a path built.
    ASSERT_TRUE(tree.WriteFile(shallow + "\\shallow.txt", std::string(1, 'x')));
    ASSERT_TRUE(tree.WriteFile(fits + "\\" + std::string(200, 'n'), std::string(2, 'x')));
    ASSERT_TRUE(tree.WriteFile(tooLong + "\\lost.txt", std::string(40, 'x')));
    ASSERT_TRUE(tree.WriteFile(farTooLong + "\\lost.txt", std::string(80, 'x')));
    // A directory whose own path would pass MAX_PATH by far: building it would
    // overrun the buffer, which the library's stack protector makes fatal.
    ASSERT_TRUE(tree.WriteFile(fits + "\\" + std::string(200, 'd') + "\\lost.txt",
                               std::string(160, 'x')));

    EXPECT_EQ(3u, SumOf(tree.root()));
    EXPECT_EQ(2u, SumOf(tree.Path(fits)));
    // Called on a directory whose pattern does not fit: 0, even through a "\\?\" path.
    EXPECT_EQ(0u, SumOf(tree.Path(tooLong)));
    EXPECT_EQ(0u, SumOf("\\\\?\\" + tree.Path(farTooLong)));
}

}  // namespace
