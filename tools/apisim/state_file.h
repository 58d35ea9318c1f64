// Keeping the store on disk: the state file holds the whole image as it was
// at a moment (its generation), the journal beside it (FILE.journal) every
// change made since, one record per request. A change is written to the
// journal and flushed with fdatasync before its reply is sent; the start
// folds the journal into a new state file (written whole, flushed, renamed
// into place) and begins an empty journal of the next generation.
//
// Nothing read from either file is trusted: sizes, generations, offsets and
// lengths are checked, and a record is applied only once its checksum is
// right. A last record that was being written when the machine stopped (no
// whole record follows it) was never acknowledged and is dropped; damage
// anywhere else stops the start.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "store.h"

namespace apisim {

// ---- the formats, on bytes ----

// Checks a state file and puts its image into `into` (left untouched when it
// fails, with `error` saying why).
bool parse_state(const unsigned char* data, size_t size, Store& into, uint64_t& generation,
                 std::string& error);
// A state file of the store's image.
void state_bytes(const Store& store, uint64_t generation, std::vector<unsigned char>& out);

struct Replay {
    bool stale = false;     // the journal of an older generation: already in the state file
    size_t records = 0;     // records applied
    size_t torn_bytes = 0;  // an unfinished last record, dropped
};
// Applies a journal to `into`, which holds the state file of `generation`.
// False when the journal is damaged or belongs to a newer state file; `into`
// may then hold part of it.
bool replay_journal(const unsigned char* data, size_t size, uint64_t generation, Store& into,
                    Replay& replay, std::string& error);
// An empty journal that continues the state file of `generation`.
void journal_header(uint64_t generation, std::vector<unsigned char>& out);
// The journal record of the store's pending changes, appended to `out`.
void journal_record(const Store& store, std::vector<unsigned char>& out);

// ---- the files ----

class Keeper {
public:
    ~Keeper();

    // Reads PATH and PATH.journal into `store`, or the factory settings when
    // there is neither (`fresh`), then writes them back as a new state file
    // with an empty journal. `report` tells what was found; `error` says
    // whether the files were refused (they are left as they are) or could not
    // be written back (a full disk is named).
    bool open(const char* path, Store& store, bool& fresh, std::string& report, std::string& error);
    // Makes the store's pending changes durable and clears them: one journal
    // record, flushed; a large change, or a journal grown past its limit,
    // rewrites the state file instead.
    bool commit(Store& store, std::string& error);
    // Writes the whole state file anew and begins an empty journal.
    bool compact(Store& store, std::string& error);
    // Reads back what the files hold into `store` (a boot); `differs` tells
    // whether it was not what the store held.
    bool reload(Store& store, bool& differs, std::string& error);

    // A start normally refuses a journal without its state file, and a state
    // file without the journal that it had: either way acknowledged changes
    // would be lost. With this set it starts anyway, from the state file
    // alone or from the factory settings (the journal then kept aside as
    // PATH.journal.orphan).
    bool accept_loss = false;

    uint64_t generation() const { return generation_; }
    uint64_t journal_bytes() const { return journal_end_; }

private:
    // Reads both files into loaded_, checked whole.
    bool load(bool& fresh, std::string& report, std::string& error);

    Store loaded_{};

    std::string path_, journal_path_;
    int journal_fd_ = -1;
    uint64_t journal_end_ = 0;
    uint64_t generation_ = 0;
    std::vector<unsigned char> buffer_;
};

// Reads a whole file (at most `limit` bytes, and one more to tell that it is
// longer): false when it cannot be read; `missing` when it is not there.
bool read_file(const std::string& path, size_t limit, std::vector<unsigned char>& out, bool& missing,
               std::string& error);

}  // namespace apisim
