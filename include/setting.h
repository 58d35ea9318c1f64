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

#include "layout_check.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One default setting: a flag byte, the setting's path and item, and its value text. */
typedef struct {
    char Flag;
    char Path[40];
    char Item[40];
    char Value[1024];
} DEFAULT_RECORD_T;

LAYOUT_CHECK(DEFAULT_RECORD_T_size, sizeof(DEFAULT_RECORD_T) == 1105);
LAYOUT_FIELD(DEFAULT_RECORD_T, Flag,      0,    1);
LAYOUT_FIELD(DEFAULT_RECORD_T, Path,      1,   40);
LAYOUT_FIELD(DEFAULT_RECORD_T, Item,     41,   40);
LAYOUT_FIELD(DEFAULT_RECORD_T, Value,    81, 1024);

/* The defaults image: magic text, checksum and 266 default records (2 bytes of tail padding). */
typedef struct {
    char MagicNumber[1024];
    int32_t Checksum;
    DEFAULT_RECORD_T Record[266];
} STRUCT_DEFAULT_T;

LAYOUT_CHECK(STRUCT_DEFAULT_T_size, sizeof(STRUCT_DEFAULT_T) == 294960);
LAYOUT_FIELD(STRUCT_DEFAULT_T, MagicNumber,    0,   1024);
LAYOUT_FIELD(STRUCT_DEFAULT_T, Checksum,    1024,      4);
LAYOUT_FIELD(STRUCT_DEFAULT_T, Record,      1028, 293930);

#ifdef __cplusplus
}
#endif

#endif /* SETTING_H */
