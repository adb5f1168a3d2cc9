#include "temp_tree.h"

#include <winioctl.h>

#include <functional>

#include "test_support.h"

namespace kt {

namespace {

// "\\?\C:\..." in UTF-16: lifts the MAX_PATH limit of the wide calls.
std::wstring LongPath(const std::string &path)
{
    int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], n);
    return L"\\\\?\\" + wide;
}

std::string Parent(const std::string &path)
{
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool Exists(const std::string &path)
{
    return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeDirectories(const std::string &path)
{
    if (path.empty() || Exists(path))
        return true;
    return MakeDirectories(Parent(path)) && CreateDirectoryW(LongPath(path).c_str(), nullptr);
}

// A Unix program started from Wine runs outside Wine's process tracking: its
// process handle is signalled at once. So the caller waits for the effect.
bool WaitUntil(const std::function<bool()> &done)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > Bound())
            return false;
        Sleep(10);
    }
    return true;
}

bool StartUnixProgram(std::string commandLine)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::string Quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

typedef char *(__cdecl *UnixNameFn)(LPCWSTR);

UnixNameFn WineUnixName()
{
    return reinterpret_cast<UnixNameFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
}

// path: a "\\?\" path.
std::string UnixPathOf(const std::wstring &path)
{
    UnixNameFn unixName = WineUnixName();
    if (unixName == nullptr)
        return std::string();
    char *name = unixName(path.substr(4).c_str());
    if (name == nullptr)
        return std::string();
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

void RemoveTree(const std::wstring &directory)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = directory + L"\\" + name;
            DWORD attributes = entry.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A link goes, never what it leads to.
                if (!RemoveDirectoryW(path.c_str()))
                    DeleteFileW(path.c_str());
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    SetFileAttributesW(directory.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(directory.c_str());
}

}  // namespace

std::string UnixPath(const std::string &windowsPath)
{
    return UnixPathOf(LongPath(windowsPath));
}

TempTree::TempTree()
{
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n >= sizeof temp)
        return;
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string root = std::string(temp) + "kesnet-" + std::to_string(GetCurrentProcessId()) +
                           "-" + std::to_string(InterlockedIncrement(&counter));
        if (CreateDirectoryA(root.c_str(), nullptr)) {
            m_root = root;
            return;
        }
    }
}

TempTree::~TempTree()
{
    if (!ok())
        return;
    RemoveTree(LongPath(m_root));
    // Wine 8 removes a Unix link to a directory neither as a directory nor as
    // a file, and does not list one whose target is gone; /bin/rm removes
    // what is left, without following links.
    std::string unixRoot = UnixPath(m_root);
    if (Exists(m_root) && !unixRoot.empty() && StartUnixProgram("/bin/rm -rf " + Quoted(unixRoot)))
        WaitUntil([&] { return !Exists(m_root); });
}

bool TempTree::MakeDirectory(const std::string &relative)
{
    return ok() && MakeDirectories(Path(relative));
}

bool TempTree::WriteFile(const std::string &relative, const std::string &bytes, DWORD dwAttributes)
{
    std::string path = Path(relative);
    if (!ok() || !MakeDirectories(Parent(path)))
        return false;
    HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              dwAttributes, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                            &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    return ok;
}

bool TempTree::WriteSparseFile(const std::string &relative, ULONGLONG nSize, const std::string &head)
{
    std::string path = Path(relative);
    if (!ok() || !MakeDirectories(Parent(path)))
        return false;
    HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // NTFS needs to be told; under Wine every file that is extended without
    // being written is sparse already, and the request may fail harmlessly.
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    DWORD written = 0;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(nSize);
    bool ok = (head.empty() || (::WriteFile(file, head.data(), static_cast<DWORD>(head.size()),
                                            &written, nullptr) &&
                                written == head.size())) &&
              SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}

bool TempTree::LinkDirectory(const std::string &relative, const std::string &target)
{
    std::string path = Path(relative);
    if (!ok() || !MakeDirectories(Parent(path)))
        return false;
    if (CreateSymbolicLinkA(path.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
        Exists(path))
        return true;
    std::string unixLink = UnixPath(path);
    if (unixLink.empty())
        return false;
    bool absolute = target.size() > 1 && target[1] == ':';
    std::string unixTarget = absolute ? UnixPath(target) : target;
    for (char &c : unixTarget)
        if (c == '\\')
            c = '/';
    return StartUnixProgram("/bin/ln -s " + Quoted(unixTarget) + " " + Quoted(unixLink)) &&
           WaitUntil([&] { return Exists(path); });
}

MappedDrive::MappedDrive(const std::string &folder)
{
    DWORD used = GetLogicalDrives();
    char letter = 'Q';
    while (letter <= 'Y' && (used & (1u << (letter - 'A'))))
        ++letter;
    if (letter > 'Y')
        return;
    std::string device = std::string(1, letter) + ":";
    std::string dosDevices = UnixPath("C:\\");  // ".../dosdevices/c:/"
    if (dosDevices.size() > 3) {
        m_unixLink = dosDevices.substr(0, dosDevices.size() - 3) + static_cast<char>(letter + 32) + ":";
        if (StartUnixProgram("/bin/ln -sfn " + Quoted(UnixPath(folder)) + " " + Quoted(m_unixLink)) &&
            WaitUntil([&] { return Exists(device + "\\"); }))
            m_letter = letter;
    } else if (DefineDosDeviceA(0, device.c_str(), folder.c_str())) {
        m_letter = letter;
    }
}

MappedDrive::~MappedDrive()
{
    if (!m_unixLink.empty()) {
        std::string root = Root();
        if (StartUnixProgram("/bin/rm -f " + Quoted(m_unixLink)) && m_letter != 0)
            WaitUntil([&] { return !Exists(root); });
    } else if (m_letter != 0) {
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, (std::string(1, m_letter) + ":").c_str(), nullptr);
    }
}

}  // namespace kt
