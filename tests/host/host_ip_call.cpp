// Makes one call of the host-address functions through the library's DLL and
// prints what came back, so that host_addresses_test can run it under its
// debugger and see the library's debug output as a debugger receives it.
//
//   host_ip_call kes first|none second|none   KesGetHostIP with or without each array
//   host_ip_call cor                          CorGetHostIP
//
// Prints "result N" (the count, or the address as a decimal number), and for kes the
// lines "first ..." and "second ...": the 16 entries of each array as given back,
// in hexadecimal. Entries the call left alone still hold a5a5a5a5.
#include "kesnet.h"

#include <stdio.h>
#include <string.h>

namespace {

const DWORD kUnwritten = 0xA5A5A5A5;

void PrintArray(const char *name, const DWORD *entries)
{
    printf("%s", name);
    for (int i = 0; i < 16; ++i)
        printf(" %08lx", entries[i]);
    printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "cor") == 0) {
        printf("result %lu\n", CorGetHostIP());
        return 0;
    }
    if (argc != 4 || strcmp(argv[1], "kes") != 0) {
        fprintf(stderr, "usage: host_ip_call kes first|none second|none | host_ip_call cor\n");
        return 2;
    }
    DWORD first[16], second[16];
    for (int i = 0; i < 16; ++i)
        first[i] = second[i] = kUnwritten;
    int count = KesGetHostIP(strcmp(argv[2], "first") == 0 ? first : nullptr,
                             strcmp(argv[3], "second") == 0 ? second : nullptr);
    printf("result %d\n", count);
    PrintArray("first", first);
    PrintArray("second", second);
    return 0;
}
