// apictl dump and load: the camera's settings as one JSON document, and such
// a document (or any part of it) applied again through the set operations.
#pragma once

#include "run.h"

namespace apictl {

int dump_settings(int argc, char** argv, const Run& how);
int load_settings(int argc, char** argv, const Run& how);

}  // namespace apictl

// ---- for other readers of JSON (the HTTP gateway): the reader behind load,
// the settings document written into a FILE, and a document applied with
// its failures reported to the caller ----
namespace apictl {

enum class JsonKind : uint8_t { Object, Array, String, Number, Literal };
struct JsonNode {
    JsonKind kind;
    uint32_t next;     // the next member or element (0: none)
    uint32_t child;    // the first member or element
    const char* key;   // as a member of an object
    uint32_t key_len;
    const char* text;  // a string's bytes (decoded), a number's or literal's characters
    uint32_t len;
};
// Reads text[0..n) as one strict JSON value (at most 8191 values, nested 16
// deep), decoding strings in place: the root's index, or 0 with the reason
// and its byte offset. Indexes stay valid until the next read.
uint32_t json_read(char* text, size_t n, const char** error, size_t* at);
const JsonNode& json_node(uint32_t index);

// Secret outputs (passwords, keys) written as null in a dump.
extern bool dump_withholds_secrets;
// A parameter that carries a password or a key.
bool is_secret(const Entry& e, const Param& p);

// Applies a settings document (an object of families) as load does; each
// setting that fails is passed to `failed` with its path, and the settings
// applied are counted. A null value leaves its setting unchanged. kOk,
// kFailed (some failed) or kTimedOut (no answer: the rest not tried).
struct LoadReport {
    void (*failed)(void* context, const char* path, const char* message);
    void* context;
    int applied;
};
int load_document(const JsonNode& root, const Run& how, LoadReport& report);

}  // namespace apictl
