// kesnet config hostip: show, set or remove the preferred address.
#include "kesnet.h"

#include <stdio.h>

#include "args.h"
#include "command.h"
#include "host_ip_setting.h"

namespace tool {
namespace {

const char *kName = "config";

int Show()
{
    HostIpSetting setting = ReadHostIpSetting();
    printf("HostIP: %s\n", Describe(setting).c_str());
    return kExitOk;
}

int Set(const std::string &text)
{
    DWORD addr = 0;
    std::string error;
    if (!ParseIPv4(text, &addr, &error))
        return UsageError(kName, error);
    // The library takes only the plain form: a leading zero would be octal.
    std::string dotted = Dotted(addr);
    if (dotted != text)
        return UsageError(kName, "write the address without leading zeros: they would make it octal");
    if (addr == INADDR_ANY || addr == INADDR_NONE)
        return UsageError(kName, dotted + " is not a host's address");
    // Stored with its terminator.
    if (!RegWriteString(HKEY_LOCAL_MACHINE, kSettingsKey, kHostIpValue, dotted.c_str(),
                        static_cast<DWORD>(dotted.size() + 1)))
        return Failure(kName, std::string("could not write ") + kHostIpPlace +
                                  " (on Windows this needs administrator rights)");
    printf("HostIP set to %s\n", dotted.c_str());
    return kExitOk;
}

// The library has no function to remove a value; this is the registry's own.
int Clear()
{
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        result = RegDeleteValueA(key, kHostIpValue);
        RegCloseKey(key);
    }
    if (result == ERROR_FILE_NOT_FOUND) {
        printf("HostIP was not set\n");
        return kExitOk;
    }
    if (result != ERROR_SUCCESS)
        return Failure(kName, std::string("could not remove ") + kHostIpPlace +
                                  " (on Windows this needs administrator rights)");
    printf("HostIP removed\n");
    return kExitOk;
}

int RunConfig(const std::vector<std::string> &argv)
{
    Args args(argv, {}, {"clear"});
    if (!args.ok())
        return UsageError(kName, args.error());
    const std::vector<std::string> &words = args.positional();
    if (words.empty() || words[0] != "hostip")
        return UsageError(kName, "expected the setting's name: hostip");
    if (words.size() > 2 || (words.size() == 2 && args.Has("clear")))
        return UsageError(kName, "expected an ADDRESS or --clear, not both");
    if (args.Has("clear"))
        return Clear();
    return words.size() == 2 ? Set(words[1]) : Show();
}

}  // namespace

KESNET_COMMAND(config, "config", "hostip [ADDRESS | --clear]", "show, set or remove the preferred address",
               "The preferred address is the registry value HostIP under\n"
               "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwick\\Corvane Settings: on a host with two or\n"
               "more addresses, KesGetHostIP puts it first and CorGetHostIP returns it.\n",
               {{"hostip", "show it"},
                {"hostip ADDRESS", "set it (with RegWriteString), in the plain form A.B.C.D"}},
               {{"--clear", "remove it"}},
               "the value was shown, set or removed",
               "the registry refused to write or remove it (on Windows this needs\n"
               "administrator rights)",
               RunConfig, 71);

}  // namespace tool
