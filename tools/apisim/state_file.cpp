#include "state_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace apisim {
namespace {

// The file: this header, then the state record and the extras, as they are in
// memory (fixed-width fields, the host's byte order).
struct Header {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    uint64_t payload_size;
    uint64_t checksum;  // FNV-1a over the payload
};

constexpr char kMagic[8] = {'A', 'P', 'I', 'S', 'I', 'M', 'S', 'T'};
constexpr uint32_t kVersion = 1;
constexpr uint64_t kPayload = sizeof(BUFFER_ENCODE_T) + sizeof(Extras);

uint64_t fnv1a(const unsigned char* p, size_t n) {
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

std::string errno_text(const char* what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

bool load_state(const char* path, Store& store, bool& missing, std::string& error) {
    missing = false;
    FILE* f = fopen(path, "rb");
    if (!f) {
        missing = errno == ENOENT;
        error = errno_text("cannot open it");
        return false;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) {
        data.insert(data.end(), chunk, chunk + n);
        if (data.size() > sizeof(Header) + kPayload) break;
    }
    const bool read_error = ferror(f);
    fclose(f);
    if (read_error) return error = "cannot read it", false;
    Header h;
    if (data.size() < sizeof h) return error = "too short to be a state file", false;
    memcpy(&h, data.data(), sizeof h);
    if (memcmp(h.magic, kMagic, sizeof kMagic) != 0) return error = "not an apisim state file", false;
    if (h.version != kVersion || h.header_size != sizeof h)
        return error = "written by another version of apisim (version " + std::to_string(h.version) +
                       ", this one reads " + std::to_string(kVersion) + ")",
               false;
    if (h.payload_size != kPayload)
        return error = "its record has another size (" + std::to_string(h.payload_size) + " bytes)", false;
    if (data.size() != sizeof h + kPayload)
        return error = "truncated or with trailing bytes (" + std::to_string(data.size()) +
                       " bytes, " + std::to_string(sizeof h + kPayload) + " expected)",
               false;
    const unsigned char* payload = data.data() + sizeof h;
    if (fnv1a(payload, kPayload) != h.checksum) return error = "damaged (checksum mismatch)", false;
    memcpy(store.rec, payload, sizeof(BUFFER_ENCODE_T));
    memcpy(&store.extra, payload + sizeof(BUFFER_ENCODE_T), sizeof(Extras));
    return true;
}

bool save_state(const char* path, const Store& store, std::string& error) {
    std::vector<unsigned char> payload(kPayload);
    memcpy(payload.data(), store.rec, sizeof(BUFFER_ENCODE_T));
    memcpy(payload.data() + sizeof(BUFFER_ENCODE_T), &store.extra, sizeof(Extras));
    Header h{};
    memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.header_size = sizeof h;
    h.payload_size = kPayload;
    h.checksum = fnv1a(payload.data(), payload.size());
    const std::string temp = std::string(path) + ".tmp";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) return error = errno_text(temp.c_str()), false;
    bool ok = fwrite(&h, sizeof h, 1, f) == 1 && fwrite(payload.data(), payload.size(), 1, f) == 1;
    ok = fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(temp.c_str(), path) != 0) {
        error = errno_text(path);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace apisim
