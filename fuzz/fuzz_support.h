// Pieces shared by the fuzz targets: a reader of the fuzzer's bytes that
// means the same on every architecture, caller buffers of exactly the size an
// operation documents, and the failure report.
//
// Every target defines LLVMFuzzerTestOneInput and fuzz_names() (the exported
// names it drives). Built with clang's libFuzzer it fuzzes; built with any
// compiler beside replay_main.cpp it replays the corpus and regression inputs.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(FUZZ_ASAN)
#define FUZZ_ASAN 1
#endif

// Where the targets' failure reports go (the replay keeps it open while it
// sends the library's own diagnostics to /dev/null).
extern int fuzz_diag_fd;
// Set by the replay's -v: targets describe what each input did.
extern bool fuzz_verbose;

// Reports a broken promise and aborts, which the fuzzer records as a finding.
[[noreturn]] void fuzz_fail(const char* target, const char* what, const char* detail);
#define FUZZ_CHECK(cond, what, detail) ((cond) ? (void)0 : fuzz_fail(FUZZ_TARGET, what, detail))

// The names of the exported operations a target drives, null-terminated.
const char* const* fuzz_names();

// Reads the fuzzer's bytes front to back; past the end every value is zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}

    size_t left() const { return static_cast<size_t>(end_ - at_); }
    bool empty() const { return at_ == end_; }
    uint8_t u8() { return at_ < end_ ? *at_++ : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // A number that is usually small, sometimes anything: small values find
    // the ordinary paths, the rest the edges.
    int32_t number() {
        const uint8_t tag = u8();
        if (tag < 0xE0) return static_cast<int8_t>(tag) ;
        if (tag < 0xF8) return static_cast<int16_t>(u16());
        return i32();
    }
    // Up to `n` bytes into `out`; returns how many there were.
    size_t bytes(void* out, size_t n) {
        const size_t got = n < left() ? n : left();
        memcpy(out, at_, got);
        at_ += got;
        return got;
    }
    // A length that is usually short and sometimes up to `max`.
    size_t length(size_t max) {
        const uint8_t tag = u8();
        size_t n = tag < 0xC0 ? tag % 64 : tag < 0xF0 ? u16() % 300 : u16();
        return n > max ? max : n;
    }

private:
    const uint8_t* at_;
    const uint8_t* end_;
};

// A caller's buffer of exactly `size` bytes, prefilled with a pattern. Under
// AddressSanitizer it is an allocation of that size, so any access past it
// is reported; without it, guard bytes after it are checked instead.
class Guarded {
public:
    static constexpr size_t kGuard = 64;
    static constexpr unsigned char kFill = 0xA5, kGuardByte = 0x5A;

    Guarded() = default;
    explicit Guarded(size_t size) { reset(size); }
    ~Guarded() { free(base_); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    void reset(size_t size) {
        free(base_);
        size_ = size;
#ifdef FUZZ_ASAN
        base_ = static_cast<unsigned char*>(malloc(size ? size : 1));
#else
        base_ = static_cast<unsigned char*>(malloc(size + kGuard));
        memset(base_ + size, kGuardByte, kGuard);
#endif
        memset(base_, kFill, size);
    }
    unsigned char* data() { return base_; }
    const unsigned char* data() const { return base_; }
    char* chars() { return reinterpret_cast<char*>(base_); }
    size_t size() const { return size_; }
    // Every byte still holds the fill pattern.
    bool untouched() const { return untouched_from(0); }
    bool untouched_from(size_t from) const {
        for (size_t i = from; i < size_; ++i)
            if (base_[i] != kFill) return false;
        return true;
    }
    // Nothing was written past the end (always true under the sanitizer,
    // which would have stopped the run already).
    bool guard_intact() const {
#ifndef FUZZ_ASAN
        for (size_t i = 0; i < kGuard; ++i)
            if (base_[size_ + i] != kGuardByte) return false;
#endif
        return true;
    }
    // A NUL-terminated text of the given bytes in a buffer of exactly its size.
    void set_text(const void* text, size_t len) {
        reset(len + 1);
        memcpy(base_, text, len);
        base_[len] = 0;
    }

private:
    unsigned char* base_ = nullptr;
    size_t size_ = 0;
};

// A text of fuzzer bytes of any length (any bytes but NUL), in a buffer of
// exactly its size; sometimes no buffer at all (a null pointer).
inline char* fuzz_text(Input& in, Guarded& g, size_t max = 2100) {
    if (in.u8() == 0xFF) return nullptr;
    const size_t len = in.length(max);
    g.reset(len + 1);
    const size_t got = in.bytes(g.data(), len);
    // Missing bytes repeat a letter: long texts cost the corpus nothing.
    memset(g.data() + got, 'x', len - got);
    for (size_t i = 0; i < len; ++i)
        if (!g.data()[i]) g.data()[i] = '0';
    g.data()[len] = 0;
    return g.chars();
}
