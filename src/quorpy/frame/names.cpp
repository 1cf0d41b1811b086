#include "frame/names.hpp"

namespace quorpy {
namespace {

// Made at module execution, before any function exists, and kept for the life of the
// process.
PyObject* strings[str_count];

}  // namespace

PyObject* str(Str s) noexcept { return strings[static_cast<int>(s)]; }

bool init_names() noexcept {
    for (std::size_t i = 0; i < str_count; ++i) {
        if (!strings[i] && !(strings[i] = PyUnicode_InternFromString(str_text[i]))) return false;
    }
    return true;
}

}  // namespace quorpy
