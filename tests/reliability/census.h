// What the process holds, counted by the platform rather than by the library:
// its Windows handles by kind (each handle value asked after), its threads
// (a Toolhelp snapshot), the busy bytes of every heap and its private memory;
// and, under Wine, the Linux process behind it as /proc shows it: its threads
// and its open file descriptors.
#ifndef KESNET_RELIABILITY_CENSUS_H
#define KESNET_RELIABILITY_CENSUS_H

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "test_support.h"

namespace kt {

struct Census {
    // -1 where the platform gave no answer.
    long handles = -1;  // every handle of the process
    long sockets = -1;  // handles that are sockets
    std::map<std::string, long> kinds;  // handles by the system's name of their kind
    long threads = -1;       // threads of the process in the system's snapshot
    long linuxThreads = -1;  // "Threads:" of /proc/<pid>/status (Wine only)
    long linuxFds = -1;      // entries of /proc/<pid>/fd (Wine only)
    long long heapBytes = -1;     // busy bytes of every heap of the process
    long long privateBytes = -1;  // the process's private memory

    static Census Take();
    std::string Describe() const;
};

// How much memory a process that gave back everything may still have grown by:
// the allocators keep some of what was freed, and the test itself keeps a little.
struct MemorySlack {
    long long heapBytes = 16 * 1024;
    long long privateBytes = 2 * 1024 * 1024;
};

// Success when after holds no more handles, sockets, threads or descriptors than
// before, and no more memory than the slack allows.
::testing::AssertionResult NothingHeldBeyond(const Census &before, const Census &after,
                                             const MemorySlack &slack = MemorySlack());

// Takes censuses until one holds no more than before, or ms have passed: a
// thread that was told to stop leaves the system's lists a moment after its
// owner stopped waiting for it. The result names what is still held.
::testing::AssertionResult SettlesBackTo(const Census &before, const MemorySlack &slack = MemorySlack(),
                                         DWORD ms = Bound());

// The Linux process id of this process under Wine; 0 elsewhere.
unsigned long LinuxProcessId();

}  // namespace kt

#endif
