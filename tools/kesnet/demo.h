// kesnet demo: a walk through the library's capabilities, step by step. Each
// capability adds its step in a file of its own with KESNET_DEMO_STEP.
#ifndef KESNET_TOOL_DEMO_H
#define KESNET_TOOL_DEMO_H

#include "kesnet.h"  // brings winsock2.h before windows.h

#include <string>

namespace tool {

struct DemoNetwork {
    bool isPrivate;  // inside the private network namespace made by scripts/demo.sh
    DWORD local;     // this host's address for the demo (127.0.0.1 on loopback)
    DWORD peer;      // the second host's address, 0 without a second host
    DWORD second;    // a second local interface, 0 without one
};

struct DemoStep {
    int order;
    const char *title;
    // Prints what it does and sees; false when something did not work.
    bool (*run)(const DemoNetwork &net);
};

class DemoStepRegistration {
public:
    explicit DemoStepRegistration(const DemoStep &step);
};

#define KESNET_DEMO_STEP(id, ...) static const ::tool::DemoStepRegistration id##_demo_step(::tool::DemoStep{__VA_ARGS__})

// Output helpers: an indented "label : text" line, and the outcome of a check.
void Say(const char *label, const std::string &text);
bool Check(bool ok, const std::string &what);

// Waits (bounded) for an event that a callback sets.
bool WaitSignalled(HANDLE event, DWORD ms = 5000);

}  // namespace tool

#endif
