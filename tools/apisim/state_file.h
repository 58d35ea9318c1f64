// The state file: the store as it was when the stand-in last stopped.
#pragma once

#include <string>

#include "store.h"

namespace apisim {

// Reads the file whole and checks it before anything is copied into the
// store: true with the store filled, or false with `error` saying why (the
// store is then untouched). A missing file is not an error: `missing` is set.
bool load_state(const char* path, Store& store, bool& missing, std::string& error);

// Writes the store to a temporary file beside `path` and renames it into place.
bool save_state(const char* path, const Store& store, std::string& error);

}  // namespace apisim
