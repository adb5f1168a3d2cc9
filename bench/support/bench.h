// Shared by the benchmark programs: a clock, the lines through which they hand
// their measurements to the bench driver, repetitions run side by side, and
// the command line every program accepts.
#ifndef KESNET_BENCH_SUPPORT_H
#define KESNET_BENCH_SUPPORT_H

#include "kesnet.h"

#include <functional>
#include <string>
#include <vector>

namespace bench {

// A monotonic clock: its raw ticks (cheap, fit for an atomic), and seconds.
long long Ticks();
double TicksToSeconds(long long ticks);
inline double Seconds() { return TicksToSeconds(Ticks()); }

// Hands one repetition's value of a figure, for one variant ("kesnet", "raw",
// ...), to the driver: the line "sample <figure> <variant> <value>".
void Sample(const std::string &figure, const std::string &variant, double value);

// Something went wrong that makes the program's figures worthless: prints it
// and ends the program with status 1.
[[noreturn]] void Fail(const std::string &what);

struct Variant {
    std::string name;
    // One repetition; returns its value of each figure, in order.
    std::function<std::vector<double>()> run;
};

// Runs each variant once unrecorded (to warm caches and the Wine server), then
// once per repetition, reversing their order every other repetition so that
// no variant always runs first, and hands every value over as a sample.
void Interleave(const std::vector<std::string> &figures, int reps, const std::vector<Variant> &variants);

// The command line of every benchmark program:
//   --reps N      repetitions of each figure (default 5)
//   --quick       tiny volumes: checks that the program works, measures nothing
//   --local ADDR  the local address to send from and to (default 127.0.0.1)
//   --auth        what authentication costs: the program's figures with the
//                 class key (and the teacher's signature where it measures
//                 that), each beside the same figure without a key
struct Options {
    int reps = 5;
    bool quick = false;
    bool auth = false;
    DWORD local = 0;
    // Scales a volume for --quick.
    int Volume(int normal, int quick) const { return this->quick ? quick : normal; }
};
Options ParseOptions(int argc, char **argv);

DWORD Addr(const char *dotted);

// Plain Winsock sockets, for the baselines and the programs' own ends.
sockaddr_in SocketAddress(DWORD addr, int port);
// A socket of the type (SOCK_DGRAM, SOCK_STREAM), with address reuse if asked,
// bound to addr:port (port 0: the system's choice); INVALID_SOCKET on failure.
SOCKET BoundSocket(int type, DWORD addr, int port, bool reuse);
int BoundPort(SOCKET s);
// A port of the type on addr that nothing held a moment ago; fails the
// program if there is none.
int FreePort(int type, DWORD addr);
// Sets a SOL_SOCKET option of int size.
bool SetIntOption(SOCKET s, int option, int value);

// The authentication a variant runs under: none, a class key, or a class key
// and the teacher's private key, so that every datagram is also signed.
enum class Auth { kNone, kClassKey, kTeacher };
// Gives the process that authentication at once (the keys are made once, at
// random); fails the program if the library refuses them.
void Authenticate(Auth auth);

// Winsock 2.2, started through the library for the life of the object.
class Library {
public:
    Library();
    ~Library() { KesExitInstance(); }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
};

}  // namespace bench

#endif
