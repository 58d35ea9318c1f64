/* Compile-time checks of the layouts shared between processes, usable at file
 * scope from C99, C11 and C++: a record that drifts from its agreed offsets
 * does not compile, on the 64-bit host and on the 32-bit target alike. */
#ifndef LAYOUT_CHECK_H
#define LAYOUT_CHECK_H

#include <stddef.h>

#if defined(__cplusplus) && __cplusplus >= 201103L
#define LAYOUT_CHECK(name, cond) static_assert(cond, "layout: " #name)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define LAYOUT_CHECK(name, cond) _Static_assert(cond, "layout: " #name)
#else
#define LAYOUT_CHECK(name, cond) typedef char layout_check_##name[(cond) ? 1 : -1]
#endif

/* One field of record T: its byte offset and its size. */
#define LAYOUT_FIELD(T, f, off, size)                       \
    LAYOUT_CHECK(T##_##f##_off, offsetof(T, f) == (off));   \
    LAYOUT_CHECK(T##_##f##_size, sizeof(((T *)0)->f) == (size))

#define LAYOUT_SIZE(T, size) LAYOUT_CHECK(T##_size, sizeof(T) == (size))

#endif /* LAYOUT_CHECK_H */
