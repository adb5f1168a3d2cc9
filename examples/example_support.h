// What the teacher and the student examples share: the checksum of the file
// they pass, addresses as text, and their "--name value" options.
#ifndef KESNET_EXAMPLE_SUPPORT_H
#define KESNET_EXAMPLE_SUPPORT_H

#include "kesnet.h"

#include <string.h>

// FNV-1a, 32 bits, over the file: start from kChecksumStart and add the bytes
// in as many pieces as they come.
static const DWORD kChecksumStart = 2166136261u;

static DWORD AddToChecksum(DWORD sum, const unsigned char *data, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        sum = (sum ^ data[i]) * 16777619u;
    return sum;
}

static const char *Dotted(unsigned long addr)
{
    in_addr a;
    a.s_addr = addr;
    return inet_ntoa(a);
}

// Options come after the positional arguments (from argv[first] on) as
// "--name value" pairs. The value of one, or null when it is not given:
static const char *Option(int argc, char **argv, int first, const char *name)
{
    for (int i = first; i + 1 < argc; i += 2)
        if (strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return NULL;
}

// And true when every option is one of those known (a null-ended list).
static bool OnlyKnownOptions(int argc, char **argv, int first, const char *const *known)
{
    for (int i = first; i < argc; i += 2) {
        const char *const *name = known;
        while (*name != NULL && strcmp(*name, argv[i]) != 0)
            ++name;
        if (*name == NULL || i + 1 == argc)
            return false;
    }
    return true;
}

#endif
