// kesnet key: makes a classroom's keys and shows their fingerprints.
#include "kesnet.h"

#include <sddl.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "args.h"
#include "auth/keys.h"
#include "command.h"

namespace tool {
namespace {

// The access list that lets only this process's user open a file, protected
// from what the folder would pass on: "D:P(A;;FA;;;<user's SID>)". (The
// owner-rights SID would say the same on Windows, but Wine maps it to a Unix
// mode that lets no one read the file.) Empty if the user cannot be told.
std::string OwnerOnlyAccess()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::string();
    std::vector<unsigned char> buffer(512);
    DWORD size = 0;
    char *sid = nullptr;
    bool ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size) &&
              ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &sid);
    CloseHandle(token);
    std::string access = ok ? std::string("D:P(A;;FA;;;") + sid + ")" : std::string();
    if (sid != nullptr)
        LocalFree(sid);
    return access;
}

// Writes a new file (never over one that exists); with ownerOnly, one that
// only this user may open, as far as the system's access control can say so.
bool WriteNewFile(const std::string &path, const std::string &text, bool ownerOnly, std::string *error)
{
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ownerOnly) {
        std::string access = OwnerOnlyAccess();
        if (access.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorA(access.c_str(), SDDL_REVISION_1,
                                                                                    &descriptor, nullptr)) {
            *error = "cannot make the access list of " + path;
            return false;
        }
        security.lpSecurityDescriptor = descriptor;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (descriptor != nullptr)
        LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError() == ERROR_FILE_EXISTS ? path + " exists already: keys are never written over"
                                                     : "cannot create " + path;
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    CloseHandle(file);
    if (!ok) {
        DeleteFileA(path.c_str());
        *error = "cannot write " + path;
    }
    return ok;
}

int RunNew(const char *name, const std::vector<std::string> &positional)
{
    if (positional.size() != 2)
        return UsageError(name, "expected: key new DIR");
    std::string dir = positional[1];
    CreateDirectoryA(dir.c_str(), nullptr);  // it may exist; writing says if it cannot be used
    auth::ClassKey classKey;
    auth::TeacherPrivateKey teacherKey;
    if (!auth::RandomBytes(classKey.bytes, sizeof classKey.bytes) || !auth::GenerateTeacherKey(&teacherKey))
        return Failure(name, "the system's cryptography could not make the keys");
    std::string error;
    const std::string classPath = dir + "\\class.key", privatePath = dir + "\\teacher.key",
                      publicPath = dir + "\\teacher.pub";
    if (!WriteNewFile(classPath, auth::FormatClassKey(classKey), true, &error) ||
        !WriteNewFile(privatePath, auth::FormatTeacherPrivateKey(teacherKey), true, &error) ||
        !WriteNewFile(publicPath, auth::FormatTeacherPublicKey(teacherKey.pub), false, &error))
        return Failure(name, error);
    printf("class key          %s  %s (every machine of the class)\n", classPath.c_str(),
           auth::Fingerprint(classKey).c_str());
    printf("teacher private    %s  %s (the teacher's console only)\n", privatePath.c_str(),
           auth::Fingerprint(teacherKey.pub).c_str());
    printf("teacher public     %s  %s (every student)\n", publicPath.c_str(),
           auth::Fingerprint(teacherKey.pub).c_str());
    return kExitOk;
}

const char *KindName(auth::KeyKind kind)
{
    switch (kind) {
    case auth::KeyKind::kClass:
        return "class key";
    case auth::KeyKind::kTeacherPrivate:
        return "teacher private key";
    default:
        return "teacher public key";
    }
}

int RunShow(const char *name, const std::vector<std::string> &positional)
{
    if (positional.size() < 2)
        return UsageError(name, "expected: key show FILE...");
    int result = kExitOk;
    for (size_t i = 1; i < positional.size(); ++i) {
        auth::KeyFile key;
        std::string error;
        if (!auth::ReadKeyFile(positional[i], &key, &error)) {
            result = Failure(name, error);
            continue;
        }
        std::string print = key.kind == auth::KeyKind::kClass ? auth::Fingerprint(key.classKey)
                                                               : auth::Fingerprint(key.teacherPublic);
        printf("%s: %s, fingerprint %s\n", positional[i].c_str(), KindName(key.kind), print.c_str());
    }
    return result;
}

int RunKey(const std::vector<std::string> &argv)
{
    const char *name = "key";
    Args args(argv, {}, {});
    if (!args.ok())
        return UsageError(name, args.error());
    const std::vector<std::string> &positional = args.positional();
    if (!positional.empty() && positional[0] == "new")
        return RunNew(name, positional);
    if (!positional.empty() && positional[0] == "show")
        return RunShow(name, positional);
    return UsageError(name, "expected: key new DIR, or key show FILE...");
}

}  // namespace

KESNET_COMMAND(key, "key", "new DIR | show FILE...", "make a classroom's keys, or show their fingerprints",
               "key new DIR makes a class key and a teacher's key pair with the system's\n"
               "random generator and writes them into DIR (made if missing): class.key\n"
               "for every machine of the class, teacher.key for the teacher's console\n"
               "alone, teacher.pub for every student. The two secret files are made so\n"
               "that only their owner may open them, as far as the system can say so;\n"
               "existing files are never written over.\n"
               "key show FILE... names each key file's kind and fingerprint, so that\n"
               "two machines' keys can be compared without showing them.\n"
               "Every command takes --key FILE (more than once: the class key, and the\n"
               "teacher's private or public key) to authenticate what it sends and\n"
               "receives; see kesnet --help.\n",
               {{"DIR", "the folder for the new keys"}, {"FILE", "a key file"}},
               {},
               "the keys were written, or every file's fingerprint shown",
               "a key could not be made or written, or a FILE is not a key file",
               RunKey, 80);

}  // namespace tool
