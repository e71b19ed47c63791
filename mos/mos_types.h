// Basic fixed-width types shared by every layer of the product.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int32_t BOOL;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef char CHAR_A;
typedef char *PCHAR_A;
typedef const char *PCCHAR_A;

typedef UINT8 *PUINT8;
typedef UINT16 *PUINT16;
typedef UINT32 *PUINT32;
typedef UINT64 *PUINT64;
typedef BOOL *PBOOL;
typedef void *PVOID;

// Logical block of 512 bytes: unit of every size and offset on devices.
#define MOS_LB_SIZE 512u
#define MOS_LB_SHIFT 9u

#define MOS_MIN(a, b) ((a) < (b) ? (a) : (b))
#define MOS_MAX(a, b) ((a) > (b) ? (a) : (b))
#define MOS_ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))

// Owner record of an embedded member.
#define MOS_CONTAINER_OF(ptr, type, member) \
    (reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member)))

#define MOS_UNUSED(x) ((void)(x))
