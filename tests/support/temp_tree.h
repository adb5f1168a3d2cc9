// Files and directories for the tests of the file utilities: a private folder
// under the system's temporary folder, with files of chosen sizes and
// attributes, directory links, and a drive letter whose root is the folder.
#ifndef KESNET_TEST_TEMP_TREE_H
#define KESNET_TEST_TEMP_TREE_H

#include <windows.h>

#include <string>

namespace kt {

// A new folder, removed with everything in it when the object goes. Links in
// it are removed, never followed. Relative paths use backslashes; they may
// lead past MAX_PATH (the helpers use "\\?\" paths).
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree &) = delete;
    TempTree &operator=(const TempTree &) = delete;

    bool ok() const { return !m_root.empty(); }
    // The folder, without a trailing backslash.
    const std::string &root() const { return m_root; }
    std::string Path(const std::string &relative) const { return m_root + "\\" + relative; }

    // Each creates what is missing on the way. false on failure.
    bool MakeDirectory(const std::string &relative);
    bool WriteFile(const std::string &relative, const std::string &bytes,
                   DWORD dwAttributes = FILE_ATTRIBUTE_NORMAL);
    // A sparse file of nSize bytes that begins with head.
    bool WriteSparseFile(const std::string &relative, ULONGLONG nSize, const std::string &head = "");
    // A symbolic link to a directory, target relative to the link's folder
    // ("..", "..\\other"). Wine 8's CreateSymbolicLinkA reports success and makes
    // nothing, so there the link is a Unix one, made by /bin/ln.
    bool LinkDirectory(const std::string &relative, const std::string &target);

private:
    std::string m_root;
};

// A drive letter whose root directory is a given folder, removed again when
// the object goes. Under Wine it is a link in the prefix's dosdevices folder
// (DefineDosDeviceA succeeds there without effect); elsewhere a DefineDosDevice
// mapping, like subst.
class MappedDrive {
public:
    explicit MappedDrive(const std::string &folder);
    ~MappedDrive();
    MappedDrive(const MappedDrive &) = delete;
    MappedDrive &operator=(const MappedDrive &) = delete;

    bool ok() const { return m_letter != 0; }
    // "Q:\" for drive Q.
    std::string Root() const { return std::string(1, m_letter) + ":\\"; }

private:
    char m_letter = 0;
    std::string m_unixLink;  // under Wine
};

// The Unix path of a Windows path under Wine, empty elsewhere.
std::string UnixPath(const std::string &windowsPath);

}  // namespace kt

#endif
