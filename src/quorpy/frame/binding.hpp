// The function table, the argument binder and the helpers every function body shares.
//
// Each module function is one table row: its name, its parameters (an interned name and
// a conversion each) and its body. The binder matches positional and keyword arguments
// to the parameters and converts them in parameter order, so a body starts with every
// handle converted and every array already behind a typed view.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <iterator>

#include "frame/ref.hpp"
#include "frame/view.hpp"
#include "transfer/native.hpp"  // u64: what fn, inst and h are converted to

namespace quorpy {

// Strings interned once, when the module is first executed: parameter names (matched
// by identity first) and the names the bodies look up on NumPy.
// clang-format off: a table, kept in step with str_text
enum class Str : unsigned char {
    fn, inst, h, n, verts, tris, pos, vals,
    np, empty, zeros, float32, int32, uint8, view, dtype,
    add_note,
    count_
};

// Their text, in the order of Str. Constant, so that the functions' signatures can be
// spelled out from the parameter table at compile time.
inline constexpr const char* str_text[] = {
    "fn", "inst", "h", "n", "verts", "tris", "pos", "vals",
    "np", "empty", "zeros", "float32", "int32", "uint8", "view", "dtype",
    "add_note",
};
// clang-format on
static_assert(std::size(str_text) == static_cast<std::size_t>(Str::count_));

constexpr const char* text(Str s) noexcept { return str_text[static_cast<int>(s)]; }
PyObject* str(Str s) noexcept;

// How a bound argument is converted.
enum class Conv : unsigned char {
    U64,          // fn, inst, h: unsigned 64-bit
    Int,          // n: C int
    FloatRows,    // 2-D float32 view
    IntRows,      // 2-D int32 view
    FloatValues,  // 1-D float32 view
};

struct Param {
    Str name;
    Conv conv;
};

constexpr int max_params = 5;
constexpr int max_views = 2;

// The converted arguments of one call. Views are released when it goes out of scope.
struct Args {
    PyObject* module = nullptr;  // borrowed: the module the function belongs to
    u64 fn = 0, inst = 0, h = 0;
    int n = 0;
    View view[max_views];
};

using Body = Ref (*)(Args&);

// Where a failure is reported: the one traceback entry a failing call adds, named
// `qualname` and pointing at `line` of traceback_file. Its code object is made on the
// first failure and kept, so that a failing call only makes a frame.
class TracebackSite {
public:
    constexpr TracebackSite(const char* qualname, int line) noexcept : qualname_(qualname), line_(line) {}
    // Adds the entry to the pending exception, with a frame whose globals are `globals`.
    void add(PyObject* globals) const noexcept;

private:
    PyCodeObject* code() const noexcept;

    const char* qualname_;
    int line_;
    // Strong once made, and kept for the life of the process. Threads may fail at the
    // same time: the first to publish its code object wins, the others drop theirs.
    mutable std::atomic<PyCodeObject*> code_ = nullptr;
};

// Adds a note to the pending exception, formatted as PyUnicode_FromFormat does: what its
// message cannot say, such as which argument it is about and the usual fix. The
// exception itself stays as it is, and a note that cannot be added is dropped.
void add_note(const char* format, ...) noexcept;

struct Function {
    const char* name;  // as the binder's messages print it
    TracebackSite site;
    Body body;
    int nparams;
    Param params[max_params];
};

// Interns the strings and makes the shared constants; idempotent.
bool init_binding() noexcept;

// The whole life of one call: bind, convert, run the body, and on failure add the one
// traceback entry. Returns a new reference or nullptr with the exception set.
PyObject* call_function(const Function& f, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// The source file that traceback entries name.
extern const char* const traceback_file;

}  // namespace quorpy
