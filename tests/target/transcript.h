// The transcript of the library on a target: every operation driven with
// fixed arguments and scripted daemon replies, the local operations against
// a private network namespace and a fixed clock, one line per observation.
// The same program built for the host and for each target must write the same
// lines (the host build is the reference); facts that hold everywhere are also
// checked on the spot.
//
// Built without the C++ runtime (no exceptions, RTTI or standard C++
// headers, linked as C), so it runs wherever the library runs.
#pragma once

#include <stddef.h>

// Appends to the transcript's current line.
void put(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Bytes as hex; a long run as its length and checksum.
void put_bytes(const void* data, size_t n);
// Text in quotes with escapes; a long one as its length and checksum.
void put_text(const char* text, size_t n);
void end_line();

// A fact that must hold on every platform; a false one is counted and printed.
void check(bool ok, const char* what, int line);
#define CHECK(cond) check((cond), #cond, __LINE__)

// Collects what the library writes on standard output and error during a
// call, and puts it on the current line.
void capture_begin();
void capture_end();

// The program's scratch folder (private, removed at the end).
extern char scratch[64];

// The sections of the transcript.
void walk_daemon_operations();
void walk_local_operations();

// From interpose.c: the clock, the shell and crypt as the library sees them,
// and failures of the C library on request (every one off at 0).
extern "C" {
extern long long fake_now;        // what time() answers; clock_settime sets it
extern char shell_log[1024];      // the commands given to system(), one per line
extern int clock_refused;         // clock_settime fails with EPERM
extern int localtime_fails;       // localtime returns null
extern long long localtime_year;  // localtime's answer is in this year
extern int socket_fails;          // socket() of this family fails
extern unsigned long ioctl_fails; // this ioctl request fails
extern int remove_fails;          // remove() fails
extern int ifconf_calls, ifconf_lengths[8];  // buffer lengths given to SIOCGIFCONF
int interposers_in_place(void);   // the library reaches the program's versions
}
