// SFGetCatalogSize where the platform does not mark directory links, as a
// file server that resolves its own links presents them: the links back up
// the tree must not make the walk go round.
//
// Wine and Windows both mark every link they can make (FILE_ATTRIBUTE_REPARSE_POINT),
// so an unmarked one cannot be made for real here. This program replaces one
// platform function, FindNextFileA, with one that forwards to the real one and
// takes the mark off what it reports. The tree and the links are real.
#include <atomic>
#include <string>

#include "temp_tree.h"
#include "test_support.h"

namespace {

typedef BOOL(WINAPI *FindNextFn)(HANDLE, LPWIN32_FIND_DATAA);

std::atomic<int> g_unmarked{0};

BOOL WINAPI FindNextWithoutLinkMarks(HANDLE hSearch, LPWIN32_FIND_DATAA pEntry)
{
    static const FindNextFn real = reinterpret_cast<FindNextFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "FindNextFileA")));
    BOOL found = real(hSearch, pEntry);
    if (found && (pEntry->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        pEntry->dwFileAttributes &= ~FILE_ATTRIBUTE_REPARSE_POINT;
        ++g_unmarked;
    }
    return found;
}

}  // namespace

// The library's calls go through this import slot; defining it here keeps the
// linker from taking kernel32's.
extern "C" {
FindNextFn kesnet_fake_find_next __asm__(KT_IMPORT_SLOT(FindNextFileA, 8)) = FindNextWithoutLinkMarks;
}

namespace {

DWORD SumOf(const std::string &path)
{
    return static_cast<DWORD>(SFGetCatalogSize(path.c_str()));
}

// Links back up the tree from two levels, and one to its own directory:
// followed without a guard, the walk would branch at every level until the
// path limit. A link to a directory that is being walked adds nothing.
TEST(CatalogSizeUnmarkedLinks, NeverWalksADirectoryInsideItself)
{
    kt::TempTree tree;
    ASSERT_TRUE(tree.ok());
    ASSERT_TRUE(tree.WriteFile("top.txt", std::string(5, 'x')));
    ASSERT_TRUE(tree.WriteFile("sub\\inner.txt", std::string(7, 'x')));
    ASSERT_TRUE(tree.WriteFile("sub\\deeper\\deepest.txt", std::string(11, 'x')));
    ASSERT_TRUE(tree.LinkDirectory("sub\\up one", ".."));
    ASSERT_TRUE(tree.LinkDirectory("sub\\deeper\\up two", "..\\.."));
    ASSERT_TRUE(tree.LinkDirectory("sub\\deeper\\up to sub", ".."));
    ASSERT_TRUE(tree.LinkDirectory("itself", "."));

    struct Case {
        std::string start;
        DWORD expected;
    } cases[] = {
        // From the top every link leads to a directory being walked: each
        // file counts once.
        {tree.root(), 5 + 7 + 11},
        // From "sub", the top is not being walked: "up one" and "deeper\up two"
        // each walk it, and inside it only top.txt counts ("sub" is being
        // walked, "itself" is the top again).
        {tree.Path("sub"), 7 + 11 + 5 + 5},
    };
    for (const Case &c : cases) {
        g_unmarked = 0;
        EXPECT_EQ(c.expected, SumOf(c.start)) << c.start;
        // The links were met, and met as plain directories.
        EXPECT_GE(g_unmarked.load(), 3) << c.start;
    }
}

}  // namespace
