// The function rows, the argument binder and the helpers every function body shares.
//
// Each module function is one table row: its name, its parameters (an interned name and
// a conversion each) and its body. The binder matches positional and keyword arguments
// to the parameters and converts them in parameter order, so a body starts with every
// handle converted and every array already behind a typed view.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frame/names.hpp"
#include "frame/ref.hpp"
#include "frame/view.hpp"

// The module's name as it is imported: the functions' __module__, and the prefix of the
// name of every traceback entry the module adds.
#define QUORPY_MODULE "quorpy._fastloop"

namespace quorpy {

// What fn, inst and h are converted to.
using u64 = std::uint64_t;

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
// `qualname` and pointing at `line` of `file`. Its code object is made ahead, at module
// execution, so that a failing call only makes a frame: making one interns strings,
// which two threads failing at once for the first time would do together.
class TracebackSite {
public:
    constexpr TracebackSite(const char* qualname, const char* file, int line) noexcept
        : qualname_(qualname), file_(file), line_(line) {}
    // Makes the code object unless it is made; module execution only, which runs on one
    // thread at a time (module.cpp).
    bool make() const noexcept;
    // Adds the entry to the pending exception, with a frame whose globals are `globals`.
    // A function's site was made before the function existed; the site of module
    // execution is made here, during it.
    void add(PyObject* globals) const noexcept;

private:
    const char* qualname_;
    const char* file_;
    int line_;
    // Strong once made, and kept for the life of the process; read by calls on any
    // thread.
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

// The functions that module execution adds, in this order: their rows, and the method
// definitions made from them, null-terminated (frame/methods.hpp makes both).
struct FunctionTable {
    const Function* rows;
    std::size_t count;
    PyMethodDef* defs;
};

// Interns the strings and makes the shared constants; idempotent.
bool init_binding() noexcept;

// Adds the table's functions to `module`, in table order, with each one's traceback
// site made first.
bool add_functions(PyObject* module, const FunctionTable& table) noexcept;

// The whole life of one call: bind, convert, run the body, and on failure add the one
// traceback entry. Returns a new reference or nullptr with the exception set.
PyObject* call_function(const Function& f, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

}  // namespace quorpy
