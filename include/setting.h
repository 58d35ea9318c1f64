/*
 * setting.h - the factory defaults image kept inside the shared camera state.
 *
 * Shared between the control daemon, the encoder side and every program that
 * maps the state record.  The layout is a format between processes: every
 * offset is fixed and checked at compile time below.  Types are fixed-width so
 * the layout is the same on the 32-bit MIPS target and on 64-bit hosts.
 */
#ifndef SETTING_H
#define SETTING_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Compile-time layout check, usable at file scope from C99, C11 and C++. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define SETTING_CHECK(name, cond) static_assert(cond, "setting layout: " #name)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define SETTING_CHECK(name, cond) _Static_assert(cond, "setting layout: " #name)
#else
#define SETTING_CHECK(name, cond) typedef char setting_check_##name[(cond) ? 1 : -1]
#endif

/* Checks one field of record T: its byte offset and its size. */
#define SETTING_FIELD(T, f, off, size)                          \
    SETTING_CHECK(T##_##f##_off, offsetof(T, f) == (off));      \
    SETTING_CHECK(T##_##f##_size, sizeof(((T *)0)->f) == (size))

/* One default setting: a flag byte, the setting's path and item, and its value text. */
typedef struct {
    char Flag;
    char Path[40];
    char Item[40];
    char Value[1024];
} DEFAULT_RECORD_T;

SETTING_CHECK(DEFAULT_RECORD_T_size, sizeof(DEFAULT_RECORD_T) == 1105);
SETTING_FIELD(DEFAULT_RECORD_T, Flag,      0,    1);
SETTING_FIELD(DEFAULT_RECORD_T, Path,      1,   40);
SETTING_FIELD(DEFAULT_RECORD_T, Item,     41,   40);
SETTING_FIELD(DEFAULT_RECORD_T, Value,    81, 1024);

/* The defaults image: magic text, checksum and 266 default records (2 bytes of tail padding). */
typedef struct {
    char MagicNumber[1024];
    int32_t Checksum;
    DEFAULT_RECORD_T Record[266];
} STRUCT_DEFAULT_T;

SETTING_CHECK(STRUCT_DEFAULT_T_size, sizeof(STRUCT_DEFAULT_T) == 294960);
SETTING_FIELD(STRUCT_DEFAULT_T, MagicNumber,    0,   1024);
SETTING_FIELD(STRUCT_DEFAULT_T, Checksum,    1024,      4);
SETTING_FIELD(STRUCT_DEFAULT_T, Record,      1028, 293930);

#undef SETTING_FIELD
#undef SETTING_CHECK

#ifdef __cplusplus
}
#endif

#endif /* SETTING_H */
