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

// The kept image: the record, then the extras. Offsets into it name the bytes
// that a change wrote.
constexpr uint32_t kRecordSize = sizeof(BUFFER_ENCODE_T);
constexpr uint32_t kImageSize = sizeof(BUFFER_ENCODE_T) + sizeof(Extras);

// The byte ranges of the image that one request wrote, merged where they
// touch. Past kMax ranges they collapse into one that covers them all.
struct Changes {
    static constexpr int kMax = 16;
    struct Span {
        uint32_t offset, length;
    };
    Span span[kMax];
    int count = 0;

    void add(uint32_t offset, uint32_t length);
    void clear() { count = 0; }
    uint64_t bytes() const;
};

// What a request asks of the process beyond the store: carried out by the
// serving loop once the request's changes are kept.
enum class Action { None, SyncFlash, Boot };

struct Store {
    BUFFER_ENCODE_T* rec;  // in shared memory
    Extras extra;
    Changes changed;
    Action action = Action::None;

    // Notes that `n` bytes at `p` (inside the record or the extras) were
    // written, so that they are kept before the reply goes out.
    void mark(const void* p, size_t n);
    void mark_all() { changed.clear(), changed.add(0, kImageSize); }
    // Copies between the image and `bytes`; offset + n <= kImageSize.
    void read_image(uint32_t offset, void* bytes, uint32_t n) const;
    void write_image(uint32_t offset, const void* bytes, uint32_t n);
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

// The factory settings: one row per field (per entry of an indexed field);
// every field that no row names starts at zero.
struct FactoryValue {
    const char* field;  // as in the record, with "i" for the entry
    int count;          // entries 0 .. count-1; 0 for a field without index
    const char* value;  // a number or a text
    Accessor at;
};
extern const FactoryValue kFactory[];
extern const size_t kFactoryCount;

// A new state: everything zero, then the factory settings.
void set_defaults(Store& s);

// Back to the factory settings, keeping what a camera keeps through such a
// reset: the recordings' lists and the SD card's status; with keep_network,
// the wired and wireless network settings and the name servers as well.
void restore_factory(Store& s, bool keep_network);

// Clears what a camera measures rather than keeps (the last snapshot's
// length, session counts, recording triggers), as a start does.
void reset_live(Store& s);

// Reading and writing a field, bounded by its size. store_* report false
// when the value had to be cut to fit.
int32_t field_int(const Field& f);
void store_int(const Field& f, int32_t v);
bool store_text(const Field& f, const char* text);

// The number of records in a channel's list, read from the record and
// checked: a count outside 0 .. kMaxRecords (a record that was written by
// another hand) reads as 0, and `damaged` says so.
constexpr int kMaxRecords = 4096;  // RecordTime holds 8192 integers per channel
int record_count(const BUFFER_ENCODE_T& r, int channel, bool* damaged = nullptr);

}  // namespace apisim
