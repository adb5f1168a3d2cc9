// KesGetDllVersion over modules the tests build with version resources of
// their own (tests/modules), which lie next to this program.
#include <string.h>

#include <string>

#include "temp_tree.h"
#include "test_support.h"

namespace {

std::string ProgramFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, n);
    return folder.substr(0, folder.rfind('\\') + 1);
}

// What KesGetDllVersion gives for module, and whether the bytes of the buffer
// past the copied string (all of them on failure) are still untouched.
struct Answer {
    int result;
    std::string version;
    bool restUntouched;
};

Answer GetVersion(const std::string &module)
{
    const char kFill = '\x5a';
    static char buffer[70000];
    memset(buffer, kFill, sizeof buffer);
    Answer answer;
    answer.result = KesGetDllVersion(module.c_str(), buffer);
    size_t copied = answer.result ? strnlen(buffer, sizeof buffer) : 0;
    if (answer.result && copied < sizeof buffer)
        answer.version.assign(buffer, copied);
    size_t rest = answer.result ? copied + 1 : 0;
    answer.restUntouched = true;
    for (size_t i = rest; i < sizeof buffer; ++i)
        answer.restUntouched = answer.restUntouched && buffer[i] == kFill;
    return answer;
}

TEST(DllVersion, CopiesTheProductVersionOfTheFirstTranslation)
{
    struct Case {
        const char *module;
        int result;
        const char *version;
    } cases[] = {
        // Two translations, each with a product version: the first one listed.
        {"kt_version_product.dll", 1, "7.3.1 Klassenraum"},
        // Version data past 8264 bytes, the product version at its far end.
        {"kt_version_large.dll", 1, "3.0 at the far end"},
        // The first translation has none; a later one's is not used.
        {"kt_version_later.dll", 0, ""},
        // No version resource at all.
        {"kt_version_none.dll", 0, ""},
        {"kt_no_such_module.dll", 0, ""},
    };
    const std::string folder = ProgramFolder();
    for (const Case &c : cases) {
        // The bare name is searched for as a module is; a path is used as it stands.
        for (const std::string &name : {std::string(c.module), folder + c.module}) {
            Answer answer = GetVersion(name);
            EXPECT_EQ(c.result, answer.result) << name;
            EXPECT_EQ(c.version, answer.version) << name;
            EXPECT_TRUE(answer.restUntouched) << name;
        }
    }
}

TEST(DllVersion, LargeVersionDataIsReallyLarge)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA((ProgramFolder() + "kt_version_large.dll").c_str(), &handle);
    EXPECT_GT(size, 8264u);
    HMODULE module = LoadLibraryExA((ProgramFolder() + "kt_version_large.dll").c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    ASSERT_NE(nullptr, resource);
    // The resource itself, not only the size the system asks for, passes 8264 bytes.
    EXPECT_GT(SizeofResource(module, resource), 8264u);
    FreeLibrary(module);
}

TEST(DllVersion, FilesThatAreNotModulesGiveZero)
{
    kt::TempTree tree;
    ASSERT_TRUE(tree.ok());
    ASSERT_TRUE(tree.WriteFile("notes.txt", "not a module at all"));
    ASSERT_TRUE(tree.WriteFile("empty.dll", ""));
    ASSERT_TRUE(tree.WriteFile("MZ only.dll", "MZ"));
    ASSERT_TRUE(tree.MakeDirectory("folder.dll"));
    for (const char *name : {"notes.txt", "empty.dll", "MZ only.dll", "folder.dll"}) {
        Answer answer = GetVersion(tree.Path(name));
        EXPECT_EQ(0, answer.result) << name;
        EXPECT_TRUE(answer.restUntouched) << name;
    }
}

}  // namespace
