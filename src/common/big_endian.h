// Integers in network byte order, read from and written to bytes, for the
// wire formats that know no platform (the multicast transfer's packets, the
// authentication trailer).
#ifndef KESNET_COMMON_BIG_ENDIAN_H
#define KESNET_COMMON_BIG_ENDIAN_H

#include <stdint.h>

#include <vector>

inline uint16_t Get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t Get32(const uint8_t *p)
{
    return static_cast<uint32_t>(Get16(p)) << 16 | Get16(p + 2);
}

inline uint64_t Get64(const uint8_t *p)
{
    return static_cast<uint64_t>(Get32(p)) << 32 | Get32(p + 4);
}

inline void Store16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void Store32(uint8_t *p, uint32_t v)
{
    Store16(p, static_cast<uint16_t>(v >> 16));
    Store16(p + 2, static_cast<uint16_t>(v));
}

inline void Store64(uint8_t *p, uint64_t v)
{
    Store32(p, static_cast<uint32_t>(v >> 32));
    Store32(p + 4, static_cast<uint32_t>(v));
}

inline void Put16(std::vector<uint8_t> &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void Put32(std::vector<uint8_t> &b, uint32_t v)
{
    Put16(b, static_cast<uint16_t>(v >> 16));
    Put16(b, static_cast<uint16_t>(v));
}

inline void Put64(std::vector<uint8_t> &b, uint64_t v)
{
    Put32(b, static_cast<uint32_t>(v >> 32));
    Put32(b, static_cast<uint32_t>(v));
}

#endif
