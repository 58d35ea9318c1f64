#include "state_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace apisim {
namespace {

// Both files hold fixed-width fields in the host's byte order.

// The state file: this header, then the image (the record, then the extras).
// Version 1 (written by earlier stand-ins) had no generation: it reads as 0.
struct StateHeader {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    uint64_t payload_size;
    uint64_t checksum;  // FNV-1a over the image, then (version 2) the generation
    uint64_t generation;
};
constexpr char kStateMagic[8] = {'A', 'P', 'I', 'S', 'I', 'M', 'S', 'T'};
constexpr uint32_t kStateVersion = 2;
constexpr uint32_t kStateHeaderV1 = 32;
static_assert(sizeof(StateHeader) == 40, "state file header");

// The journal: this header, then records.
struct JournalHeader {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    uint64_t generation;  // the state file it continues
    uint64_t image_size;
    uint64_t checksum;  // FNV-1a over the fields above
};
constexpr char kJournalMagic[8] = {'A', 'P', 'I', 'S', 'I', 'M', 'J', 'L'};
constexpr uint32_t kJournalVersion = 1;
static_assert(sizeof(JournalHeader) == 40, "journal header");

// A record: this header, then `spans` times {offset, length, bytes}.
struct RecordHeader {
    uint32_t body_size;
    uint32_t spans;
    uint64_t body_checksum;    // FNV-1a over the body
    uint64_t header_checksum;  // FNV-1a over the three fields above
};
static_assert(sizeof(RecordHeader) == 24, "journal record header");
struct SpanHeader {
    uint32_t offset, length;
};

constexpr uint64_t kFnvStart = 14695981039346656037ull;
uint64_t fnv1a(const void* data, size_t n, uint64_t h = kFnvStart) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// A change larger than this rewrites the state file instead of a record; a
// journal longer than this is folded into a new state file.
constexpr uint64_t kLargestRecord = 64 * 1024;
constexpr uint64_t kJournalLimit = 4 * 1024 * 1024;
// A journal never grows past the limit by more than one record.
constexpr size_t kJournalReadLimit = kJournalLimit + 2 * kLargestRecord;

std::string errno_text(const std::string& what) { return what + ": " + strerror(errno); }

// The image that a load builds before anything of it reaches the store.
BUFFER_ENCODE_T scratch_record;

bool write_all(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// Writes the bytes to PATH.tmp, flushes them and renames it over PATH, then
// flushes the folder so that the rename itself survives a power loss.
bool replace_file(const std::string& path, const std::vector<unsigned char>& bytes, std::string& error) {
    const std::string temp = path + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return error = errno_text(temp), false;
    bool ok = write_all(fd, bytes.data(), bytes.size());
    ok = ok && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        if (ok) error = errno_text(path);
        else errno = saved, error = errno_text(temp);
        unlink(temp.c_str());
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return error = errno_text(folder), false;
    ok = fsync(dir) == 0;
    close(dir);
    if (!ok) error = errno_text(folder);
    return ok;
}

}  // namespace

bool read_file(const std::string& path, size_t limit, std::vector<unsigned char>& out, bool& missing,
               std::string& error) {
    out.clear();
    missing = false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        error = errno_text("cannot open " + path);
        return false;
    }
    unsigned char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = errno_text("cannot read " + path);
            close(fd);
            return false;
        }
        if (got == 0 || out.size() > limit) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    close(fd);
    return true;
}

// ---- the state file ----

bool parse_state(const unsigned char* data, size_t size, Store& into, uint64_t& generation,
                 std::string& error) {
    StateHeader h{};
    if (size < kStateHeaderV1) return error = "too short to be a state file", false;
    memcpy(&h, data, kStateHeaderV1);
    if (memcmp(h.magic, kStateMagic, sizeof kStateMagic) != 0) return error = "not an apisim state file", false;
    const bool v1 = h.version == 1 && h.header_size == kStateHeaderV1;
    const bool v2 = h.version == kStateVersion && h.header_size == sizeof h;
    if (!v1 && !v2)
        return error = "written by another version of apisim (version " + std::to_string(h.version) +
                       ", this one reads 1 and " + std::to_string(kStateVersion) + ")",
               false;
    if (v2 && size < sizeof h) return error = "too short to be a state file", false;
    if (v2) memcpy(&h, data, sizeof h);
    if (h.payload_size != kImageSize)
        return error = "its record has another size (" + std::to_string(h.payload_size) + " bytes)", false;
    if (size != h.header_size + kImageSize)
        return error = "truncated or with trailing bytes (" + std::to_string(size) + " bytes, " +
                       std::to_string(h.header_size + kImageSize) + " expected)",
               false;
    const unsigned char* image = data + h.header_size;
    uint64_t sum = fnv1a(image, kImageSize);
    if (v2) sum = fnv1a(&h.generation, sizeof h.generation, sum);
    if (sum != h.checksum) return error = "damaged (checksum mismatch)", false;
    into.write_image(0, image, kImageSize);
    generation = v1 ? 0 : h.generation;
    return true;
}

void state_bytes(const Store& store, uint64_t generation, std::vector<unsigned char>& out) {
    out.resize(sizeof(StateHeader) + kImageSize);
    unsigned char* image = out.data() + sizeof(StateHeader);
    store.read_image(0, image, kImageSize);
    StateHeader h{};
    memcpy(h.magic, kStateMagic, sizeof kStateMagic);
    h.version = kStateVersion;
    h.header_size = sizeof h;
    h.payload_size = kImageSize;
    h.generation = generation;
    h.checksum = fnv1a(&h.generation, sizeof h.generation, fnv1a(image, kImageSize));
    memcpy(out.data(), &h, sizeof h);
}

// ---- the journal ----

void journal_header(uint64_t generation, std::vector<unsigned char>& out) {
    JournalHeader h{};
    memcpy(h.magic, kJournalMagic, sizeof kJournalMagic);
    h.version = kJournalVersion;
    h.header_size = sizeof h;
    h.generation = generation;
    h.image_size = kImageSize;
    h.checksum = fnv1a(&h, offsetof(JournalHeader, checksum));
    out.assign(reinterpret_cast<const unsigned char*>(&h), reinterpret_cast<const unsigned char*>(&h + 1));
}

void journal_record(const Store& store, std::vector<unsigned char>& out) {
    const Changes& c = store.changed;
    const size_t start = out.size();
    out.resize(start + sizeof(RecordHeader) + c.count * sizeof(SpanHeader) + c.bytes());
    unsigned char* p = out.data() + start + sizeof(RecordHeader);
    for (int k = 0; k < c.count; ++k) {
        const SpanHeader s{c.span[k].offset, c.span[k].length};
        memcpy(p, &s, sizeof s);
        store.read_image(s.offset, p + sizeof s, s.length);
        p += sizeof s + s.length;
    }
    RecordHeader h{};
    h.body_size = static_cast<uint32_t>(out.size() - start - sizeof h);
    h.spans = static_cast<uint32_t>(c.count);
    h.body_checksum = fnv1a(out.data() + start + sizeof h, h.body_size);
    h.header_checksum = fnv1a(&h, offsetof(RecordHeader, header_checksum));
    memcpy(out.data() + start, &h, sizeof h);
}

namespace {

// A whole record at `at`, both checksums right.
bool whole_record(const unsigned char* data, size_t size, size_t at, RecordHeader& r) {
    if (size - at < sizeof r) return false;
    memcpy(&r, data + at, sizeof r);
    return r.header_checksum == fnv1a(&r, offsetof(RecordHeader, header_checksum)) &&
           r.body_size <= size - at - sizeof r && r.body_checksum == fnv1a(data + at + sizeof r, r.body_size);
}

}  // namespace

bool replay_journal(const unsigned char* data, size_t size, uint64_t generation, Store& into,
                    Replay& replay, std::string& error) {
    replay = Replay{};
    JournalHeader h;
    if (size < sizeof h) return error = "journal too short to be one", false;
    memcpy(&h, data, sizeof h);
    if (memcmp(h.magic, kJournalMagic, sizeof kJournalMagic) != 0) return error = "not an apisim journal", false;
    if (h.version != kJournalVersion || h.header_size != sizeof h)
        return error = "journal written by another version of apisim", false;
    if (h.checksum != fnv1a(&h, offsetof(JournalHeader, checksum))) return error = "journal header damaged", false;
    if (h.image_size != kImageSize) return error = "journal of a record of another size", false;
    if (h.generation < generation) return replay.stale = true, true;
    if (h.generation > generation)
        return error = "journal of generation " + std::to_string(h.generation) + " beside a state file of generation " +
                       std::to_string(generation) + " (was the state file replaced?)",
               false;
    for (size_t at = sizeof h; at < size;) {
        RecordHeader r;
        if (!whole_record(data, size, at, r)) {
            // Records are appended one at a time, each flushed before the next
            // is written: only the last can be unfinished, and it was never
            // acknowledged. A whole record after a broken one is damage.
            for (size_t later = at + 1; later + sizeof r <= size; ++later)
                if (whole_record(data, size, later, r))
                    return error = "journal damaged at byte " + std::to_string(at) +
                                   ", whole records follow at byte " + std::to_string(later),
                           false;
            return replay.torn_bytes = size - at, true;
        }
        const unsigned char* body = data + at + sizeof r;
        // A record whose checksum is right and whose spans do not add up was
        // not written by a stand-in.
        size_t used = 0;
        for (uint32_t k = 0; k < r.spans; ++k) {
            SpanHeader s;
            if (r.body_size - used < sizeof s) return error = "journal record at byte " + std::to_string(at) + " is malformed", false;
            memcpy(&s, body + used, sizeof s);
            used += sizeof s;
            if (s.length > r.body_size - used || s.offset > kImageSize || s.length > kImageSize - s.offset)
                return error = "journal record at byte " + std::to_string(at) + " is malformed", false;
            into.write_image(s.offset, body + used, s.length);
            used += s.length;
        }
        if (used != r.body_size) return error = "journal record at byte " + std::to_string(at) + " is malformed", false;
        ++replay.records;
        at += sizeof r + r.body_size;
    }
    return true;
}

// ---- the files ----

Keeper::~Keeper() {
    if (journal_fd_ >= 0) close(journal_fd_);
}

bool Keeper::load(bool& fresh, std::string& report, std::string& error) {
    Store& scratch = loaded_;
    scratch.rec = &scratch_record;
    std::vector<unsigned char> bytes;
    bool missing;
    fresh = false;
    if (!read_file(path_, sizeof(StateHeader) + kImageSize, bytes, missing, error)) {
        if (!missing) return false;
        fresh = true;
        set_defaults(scratch);
        generation_ = 0;
        report = "no state file " + path_ + " yet: starting from the factory settings";
        struct stat journal;
        if (stat(journal_path_.c_str(), &journal) == 0 && journal.st_size > static_cast<off_t>(sizeof(JournalHeader))) {
            // Its records are changes to the state file that is gone: on the
            // factory settings they would make a state nobody ever had.
            if (!accept_loss)
                return error = "no state file " + path_ + ", but its journal " + journal_path_ +
                               " is there: its acknowledged changes would be lost (put the state file back, or "
                               "start with --accept-state-loss to begin from the factory settings)",
                       false;
            const std::string aside = journal_path_ + ".orphan";
            if (rename(journal_path_.c_str(), aside.c_str()) != 0) return error = errno_text(aside), false;
            report += " (its journal, without the state file, kept as " + aside + ")";
        }
    } else {
        if (!parse_state(bytes.data(), bytes.size(), scratch, generation_, error))
            return error = path_ + ": " + error, false;
        report = "state file " + path_ + " (generation " + std::to_string(generation_) + ")";
        if (!read_file(journal_path_, kJournalReadLimit, bytes, missing, error)) {
            if (!missing) return false;
            // Every state file of version 2 has had a journal beside it from
            // the moment it was written.
            if (generation_ > 0 && !accept_loss)
                return error = "the journal " + journal_path_ + " of state file " + path_ + " (generation " +
                               std::to_string(generation_) +
                               ") is missing: the acknowledged changes it held would be lost (put it back, or "
                               "start with --accept-state-loss to begin from the state file alone)",
                       false;
            report += ", no journal";
        } else {
            if (bytes.size() > kJournalReadLimit) return error = journal_path_ + ": longer than any journal", false;
            Replay replay;
            if (!replay_journal(bytes.data(), bytes.size(), generation_, scratch, replay, error))
                return error = journal_path_ + ": " + error, false;
            if (replay.stale) report += ", its journal already folded in";
            else report += " and " + std::to_string(replay.records) + " journal records";
            if (replay.torn_bytes)
                report += " (" + std::to_string(replay.torn_bytes) + " bytes of an unfinished last record dropped)";
        }
    }
    return true;
}

bool Keeper::open(const char* path, Store& store, bool& fresh, std::string& report, std::string& error) {
    path_ = path;
    journal_path_ = path_ + ".journal";
    if (!load(fresh, report, error)) return error = "refusing the state: " + error, false;
    memcpy(store.rec, loaded_.rec, kRecordSize);
    store.extra = loaded_.extra;
    reset_live(store);
    if (compact(store, error)) return true;
    const bool full = error.find(strerror(ENOSPC)) != std::string::npos;
    error = std::string("cannot write the state back") + (full ? ": the disk is full" : "") + " (" +
            error + "); the state file and its journal are left as they were";
    return false;
}

bool Keeper::compact(Store& store, std::string& error) {
    // The first state file: its (empty) journal is there before it, so that a
    // state file is never seen without the journal it comes with.
    if (access(journal_path_.c_str(), F_OK) != 0) {
        journal_header(generation_ + 1, buffer_);
        if (!replace_file(journal_path_, buffer_, error)) return false;
    }
    state_bytes(store, generation_ + 1, buffer_);
    if (!replace_file(path_, buffer_, error)) return false;
    ++generation_;
    // From here the old journal is stale: its generation is behind the file's.
    journal_header(generation_, buffer_);
    if (!replace_file(journal_path_, buffer_, error)) return false;
    if (journal_fd_ >= 0) close(journal_fd_);
    journal_fd_ = ::open(journal_path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (journal_fd_ < 0) return error = errno_text(journal_path_), false;
    journal_end_ = buffer_.size();
    store.changed.clear();
    return true;
}

bool Keeper::commit(Store& store, std::string& error) {
    if (store.changed.count == 0) return true;
    if (journal_fd_ < 0) return error = "no journal open", false;
    if (store.changed.bytes() > kLargestRecord || journal_end_ > kJournalLimit) return compact(store, error);
    buffer_.clear();
    journal_record(store, buffer_);
    const unsigned char* p = buffer_.data();
    size_t n = buffer_.size();
    uint64_t at = journal_end_;
    bool ok = true;
    while (ok && n > 0) {
        const ssize_t put = pwrite(journal_fd_, p, n, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        ok = put > 0;
        if (ok) p += put, n -= static_cast<size_t>(put), at += static_cast<uint64_t>(put);
    }
    ok = ok && fdatasync(journal_fd_) == 0;
    if (!ok) {
        error = errno_text(journal_path_);
        // Nothing half-written may stay in front of the next record.
        if (ftruncate(journal_fd_, static_cast<off_t>(journal_end_)) != 0) {}
        return false;
    }
    journal_end_ = at;
    store.changed.clear();
    return true;
}

bool Keeper::reload(Store& store, bool& differs, std::string& error) {
    bool fresh;
    std::string report;
    if (!load(fresh, report, error)) return false;
    differs = memcmp(store.rec, loaded_.rec, kRecordSize) != 0 ||
              memcmp(&store.extra, &loaded_.extra, sizeof store.extra) != 0;
    if (!differs) return true;
    memcpy(store.rec, loaded_.rec, kRecordSize);
    store.extra = loaded_.extra;
    store.mark_all();
    return true;
}

}  // namespace apisim
