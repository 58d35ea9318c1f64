// What the stand-in daemon keeps: the shared camera state record, where every
// setting that has a field of its own lives, and a few settings of its own
// that the record has no field for. Both survive a restart in the state file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "buf_def.h"

namespace apisim {

// Settings that the camera's state record has no field for.
struct Extras {
    char zone[128];        // time zone label
    char inner_user[128];  // the built-in credential pair
    char inner_pwd[128];
    int32_t gpio_rising[10];
    int32_t gpio_falling[10];
    int32_t gpiob_value[10];
};

struct Store {
    BUFFER_ENCODE_T* rec;  // in shared memory
    Extras extra;
};

// A setting's home: an integer, a text field (or a number kept as text in a
// text field), or a fixed-size block. kind None: no such entry (index out of
// range).
struct Field {
    enum Kind { None, Int, Text, NumText, Raw } kind = None;
    void* p = nullptr;
    unsigned size = 0;
};

using Accessor = Field (*)(Store&, int index);

// One get/set pair and the field both reach. `count` is the number of entries
// the index (channel, line, server number ...) selects from, 0 when the
// setting is not indexed; `first` is the lowest valid index.
struct Home {
    int set, get;
    const char* field;  // for traces and logs
    int count, first;
    Accessor at;
};

extern const Home kHomes[];
extern const size_t kHomeCount;

// The pair that the command belongs to (as its set or its get), or null.
const Home* home_of(int command);

// Plausible first-start contents: what a camera out of the box holds.
void set_defaults(Store& s);

// Reading and writing a field, bounded by its size. store_* report false
// when the value had to be cut to fit.
int32_t field_int(const Field& f);
void store_int(const Field& f, int32_t v);
bool store_text(const Field& f, const char* text);

}  // namespace apisim
