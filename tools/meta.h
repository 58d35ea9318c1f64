// The few compile-time helpers the desk tools need, without the C++ standard
// headers: apictl is built for the camera's C library, which has none.
#pragma once

#include <stddef.h>

namespace meta {

template <class A, class B>
constexpr bool same = false;
template <class A>
constexpr bool same<A, A> = true;

template <class T>
struct Unconst {
    using type = T;
};
template <class T>
struct Unconst<const T> {
    using type = T;
};

template <class T>
struct Pointer {
    static constexpr bool value = false;
};
template <class T>
struct Pointer<T*> {
    static constexpr bool value = true;
    using pointee = typename Unconst<T>::type;
};

template <size_t... I>
struct Indices {};
template <size_t N, size_t... I>
struct MakeIndices : MakeIndices<N - 1, N - 1, I...> {};
template <size_t... I>
struct MakeIndices<0, I...> {
    using type = Indices<I...>;
};

}  // namespace meta
