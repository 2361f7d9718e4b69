// Facts about the build host that the tool set relies on: the byte order
// and where gzip lives. The build pastes the host probe's definitions into
// the compiler flags; the fallbacks below keep a bare build working.
#ifndef VANTLE_HOST_H_
#define VANTLE_HOST_H_

#include <stdint.h>

// Absolute path of gzip, or "" when the host has none (reading a compressed
// trace then fails with a clear error).
#ifndef GZIP_PATH
#ifdef VANTLE_GZIP_FALLBACK
#define GZIP_PATH VANTLE_GZIP_FALLBACK
#else
#define GZIP_PATH "/usr/bin/gzip"
#endif
#endif

// 1 when the host stores the least significant byte first: the probe's
// BYTES_BIG_ENDIAN / BYTES_LITTLE_ENDIAN, else the compiler's own macro.
#if defined(BYTES_BIG_ENDIAN)
#define HOST_LITTLE_ENDIAN 0
#elif defined(BYTES_LITTLE_ENDIAN)
#define HOST_LITTLE_ENDIAN 1
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define HOST_LITTLE_ENDIAN 0
#else
#define HOST_LITTLE_ENDIAN 1
#endif

typedef int64_t quad_t;
typedef uint64_t uquad_t;

#endif  // VANTLE_HOST_H_
