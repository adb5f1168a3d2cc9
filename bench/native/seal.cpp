// bench_seal KEY PORT SIZE COUNT FILE: COUNT datagrams of SIZE payload bytes
// for PORT, sealed with the class key KEY (64 hex digits) as one sending
// socket of the library seals them, dated now, written to FILE for the native
// blaster to send (bench_native replay). The receive benchmark points them at
// a listener under Wine that holds the same key: sealing them on the fly
// under Wine would make the sender slower than the receiver it must outrun.
//
// FILE holds, per datagram, its size in two bytes (network order) and its bytes.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "auth/trailer.h"

namespace {

auth::WallMicros WallNow()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<auth::WallMicros>(now.tv_sec) * 1000000 + static_cast<auth::WallMicros>(now.tv_nsec) / 1000;
}

int Usage(const char *why)
{
    fprintf(stderr, "bench_seal: %s\nusage: bench_seal KEY PORT SIZE COUNT FILE\n", why);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 6)
        return Usage("five arguments");
    auth::KeyFile key;
    std::string error;
    if (!auth::ParseKeyFile(std::string("kesnet class key\n") + argv[1] + "\n", &key, &error))
        return Usage(error.c_str());
    int port = atoi(argv[2]);
    long size = atol(argv[3]), count = atol(argv[4]);
    if (port <= 0 || port > 65535 || size < 0 || size > 60000 || count <= 0)
        return Usage("bad port, size or count");
    std::shared_ptr<auth::Settings> settings = auth::Settings::ForClassKey(key.classKey);
    uint8_t id[4];
    if (settings == nullptr || !auth::RandomBytes(id, sizeof id))
        return Usage("the cryptography failed");
    auth::Sealer sealer(static_cast<uint32_t>(id[0]) << 24 | id[1] << 16 | id[2] << 8 | id[3]);
    FILE *out = fopen(argv[5], "wb");
    if (out == nullptr)
        return Usage("cannot write the file");
    std::vector<uint8_t> datagram(static_cast<size_t>(size) + auth::kClassTrailerBytes);
    for (long i = 0; i < count; i++) {
        std::fill(datagram.begin(), datagram.begin() + size, static_cast<uint8_t>('k'));
        size_t sealed = sealer.Seal(*settings, datagram.data(), static_cast<size_t>(size), datagram.size(),
                                    static_cast<uint16_t>(port), WallNow());
        uint8_t length[2] = {static_cast<uint8_t>(sealed >> 8), static_cast<uint8_t>(sealed)};
        if (sealed == 0 || fwrite(length, 1, 2, out) != 2 || fwrite(datagram.data(), 1, sealed, out) != sealed)
            return Usage("cannot seal or write a datagram");
    }
    return fclose(out) == 0 ? 0 : Usage("cannot write the file");
}
