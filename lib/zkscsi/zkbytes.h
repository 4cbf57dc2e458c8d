/* Byte-order helpers: multi-byte SCSI fields are big-endian and may sit at
 * any alignment, so they are assembled byte by byte. */
#ifndef ZK_ZKBYTES_H
#define ZK_ZKBYTES_H

#include <stdint.h>

static inline uint16_t zk_get_be16(const unsigned char *p)
{
    return (uint16_t)((p[0] << 8) | p[1]);
}

static inline uint32_t zk_get_be32(const unsigned char *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
           ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static inline void zk_put_be16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)v;
}

static inline void zk_put_be32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

#endif /* ZK_ZKBYTES_H */
