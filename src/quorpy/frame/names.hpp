// The strings the module interns, once, at module execution: parameter names (matched
// by identity first), the names the bodies look up on NumPy, and the method that adds a
// note to an exception. Each is written once,
// in QUORPY_NAMES, which makes both the Str enumerator and its text.
#pragma once

#include <Python.h>

#include <cstddef>
#include <iterator>

// clang-format off: a table
#define QUORPY_NAMES(X) \
    X(fn) X(inst) X(h) X(n) X(verts) X(tris) X(pos) X(vals) \
    X(np) X(empty) X(zeros) X(float32) X(int32) X(uint8) X(view) X(dtype) \
    X(add_note)
// clang-format on

namespace quorpy {

enum class Str : unsigned char {
#define QUORPY_ENUMERATOR(name) name,
    QUORPY_NAMES(QUORPY_ENUMERATOR)
#undef QUORPY_ENUMERATOR
};

// Their text, in the order of Str. Constant, so that the functions' signatures can be
// spelled out from their parameter tables at compile time.
inline constexpr const char* str_text[] = {
#define QUORPY_TEXT(name) #name,
    QUORPY_NAMES(QUORPY_TEXT)
#undef QUORPY_TEXT
};

inline constexpr std::size_t str_count = std::size(str_text);

constexpr const char* text(Str s) noexcept { return str_text[static_cast<int>(s)]; }

// The interned string; valid once init_names() has succeeded.
PyObject* str(Str s) noexcept;

// Interns every name; idempotent.
bool init_names() noexcept;

}  // namespace quorpy
