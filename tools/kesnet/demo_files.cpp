// Demo step: the size of a directory tree, the bitmap test and a module's
// product version, on a small tree made in the temporary folder.
#include <string>

#include "demo.h"
#include "kesnet.h"

namespace tool {
namespace {

bool WriteBytes(const std::string &path, const std::string &bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok;
}

bool FilesAndVersions(const DemoNetwork &)
{
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (!Check(n > 0 && n < sizeof temp, "the temporary folder"))
        return false;
    const std::string root = std::string(temp) + "kesnet-demo-" + std::to_string(GetCurrentProcessId());
    const std::string pictures = root + "\\pictures";
    const std::string logo = pictures + "\\logo.bmp";
    const std::string notes = root + "\\notes.txt";
    const std::string bitmap = std::string("BM") + std::string(60, '\0');
    const std::string text(100, 'n');
    bool ok = Check(CreateDirectoryA(root.c_str(), nullptr) &&
                        CreateDirectoryA(pictures.c_str(), nullptr) && WriteBytes(logo, bitmap) &&
                        WriteBytes(notes, text),
                    "made " + root + " with notes.txt (100 bytes) and pictures\\logo.bmp (62 bytes)");
    if (ok) {
        int size = SFGetCatalogSize(root.c_str());
        ok &= Check(size == 162, "SFGetCatalogSize = " + std::to_string(size) + " bytes, at every depth");
        ok &= Check(SIsFileBmp(logo.c_str()) == 1, "SIsFileBmp(logo.bmp) = 1: it starts with \"BM\"");
        ok &= Check(SIsFileBmp(notes.c_str()) == 0, "SIsFileBmp(notes.txt) = 0");
    }
    DeleteFileA(logo.c_str());
    DeleteFileA(notes.c_str());
    RemoveDirectoryA(pictures.c_str());
    RemoveDirectoryA(root.c_str());

    // No length goes with the buffer; a version resource holds at most 64 KiB.
    static char version[65536];
    bool found = KesGetDllVersion("kesnet.dll", version) == 1;
    ok &= Check(found, std::string("KesGetDllVersion(\"kesnet.dll\") = \"") + version +
                           "\", the library's own product version");
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(files, 90, "Directory sizes, bitmaps and versions (SFGetCatalogSize, SIsFileBmp, "
                            "KesGetDllVersion)",
                 FilesAndVersions);

}  // namespace tool
