// Loading kesnet.dll must not start Winsock: the calls that need KesInitInstance
// fail before it, as on Windows. (Under Wine, a DLL that imports netapi32 starts
// Winsock for the whole process as it loads.) This program links the DLL, as
// hosts do.
#include <gtest/gtest.h>

#include "kesnet.h"

namespace {

TEST(DllLoad, WakeUpNeedsKesInitInstance)
{
    // No entries: a socket is opened and closed, nothing is sent.
    EXPECT_EQ(0, KesLanWakeUp(0, nullptr, 0));
    ASSERT_EQ(1, KesInitInstance());
    EXPECT_EQ(1, KesLanWakeUp(0, nullptr, 0));
    EXPECT_EQ(1, KesExitInstance());
    EXPECT_EQ(0, KesLanWakeUp(0, nullptr, 0));
}

}  // namespace
