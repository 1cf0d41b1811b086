#include "frame/binding.hpp"
#include "frame/numpy.hpp"

#include <frameobject.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <iterator>

namespace quorpy {
namespace {

// Set by the module execution that first gets this far: executions run one at a time
// (module.cpp), and no function exists before.
bool initialised;

bool count_error(const Function& f, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f.name, "exactly",
                 static_cast<Py_ssize_t>(f.nparams), "s", given);
    return false;
}

// Content comparison of two exact str objects: hash, then length, then characters.
bool same_text(PyObject* a, PyObject* b) {
    Py_hash_t ha = PyObject_Hash(a), hb = PyObject_Hash(b);
    if (ha != hb) return false;
    if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
    return PyUnicode_Compare(a, b) == 0;
}

// Equality for a keyword of a str subclass: 1, 0, or -1 with an exception set.
int equal_text(PyObject* key, PyObject* name, bool exact) {
    return exact ? same_text(key, name) : PyObject_RichCompareBool(key, name, Py_EQ);
}

// The slot a keyword names among the parameters not filled by position, or -1 with the
// binder's exception set.
int find_keyword(const Function& f, PyObject* key, int nargs) {
    for (int j = nargs; j < f.nparams; ++j)
        if (key == str(f.params[j].name)) return j;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
        return -1;
    }
    const bool exact = PyUnicode_CheckExact(key);
    for (int j = nargs; j < f.nparams; ++j) {
        int eq = equal_text(key, str(f.params[j].name), exact);
        if (eq < 0) return -1;
        if (eq) return j;
    }
    for (int j = 0; j < nargs; ++j) {
        int eq = equal_text(key, str(f.params[j].name), exact);
        if (eq < 0) return -1;
        if (eq) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f.name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name, key);
    return -1;
}

bool bind(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slot) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 ? nargs != f.nparams : nargs > f.nparams) return count_error(f, nargs);
    for (Py_ssize_t j = 0; j < nargs; ++j) slot[j] = args[j];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        int j = find_keyword(f, PyTuple_GET_ITEM(kwnames, k), static_cast<int>(nargs));
        if (j < 0) return false;
        slot[j] = args[nargs + k];
    }
    for (int j = static_cast<int>(nargs); j < f.nparams; ++j)
        if (!slot[j]) return count_error(f, j);
    return true;
}

bool has_int(PyObject* x) {
    PyNumberMethods* nb = Py_TYPE(x)->tp_as_number;
    return nb && nb->nb_int;
}

// The int an argument stands for: itself, or what its __int__ returns. Never __index__.
PyObject* integer_of(PyObject* x, Ref& owner) {
    if (PyLong_Check(x)) return x;
    if (!has_int(x)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    owner = Ref::steal(Py_TYPE(x)->tp_as_number->nb_int(x));
    PyObject* r = owner.get();
    if (!r || PyLong_CheckExact(r)) return r;
    if (!PyLong_Check(r)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
                         "subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(r)->tp_name) < 0)
        return nullptr;
    return r;
}

bool to_u64(PyObject* x, u64& out) {
    Ref owner;
    PyObject* v = integer_of(x, owner);
    if (!v) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0 && value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned PY_LONG_LONG");
        return false;
    }
    if (overflow == 0) {
        out = static_cast<u64>(value);
        return true;
    }
    // Where unsigned long holds 64 bits its converter is used, so that 2**64 and more is
    // refused with the interpreter's own message for it; elsewhere (Windows) it would
    // stop at 32 bits.
    if constexpr (sizeof(unsigned long) == sizeof(u64)) {
        unsigned long big = PyLong_AsUnsignedLong(v);
        if (big == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
        out = big;
    } else {
        unsigned long long big = PyLong_AsUnsignedLongLong(v);
        if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = big;
    }
    return true;
}

bool to_int(PyObject* x, int& out) {
    Ref owner;
    PyObject* v = integer_of(x, owner);
    if (!v) return false;
    long value = PyLong_AsLong(v);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool convert(const Function& f, PyObject* const* slot, Args& a) {
    u64* const handles[] = {&a.fn, &a.inst, &a.h};
    int nhandles = 0, nviews = 0;
    for (int j = 0; j < f.nparams; ++j) {
        bool ok = false;
        const char* name = text(f.params[j].name);
        switch (f.params[j].conv) {
        case Conv::U64:
            ok = to_u64(slot[j], *handles[nhandles++]);
            // The address is what a caller most often gets wrong: a ctypes function
            // object is not one.
            if (!ok && f.params[j].name == Str::fn && !PyLong_Check(slot[j]) && !has_int(slot[j]))
                add_note(
                    "fn must be the address of a native function, an int: for a ctypes function f, pass "
                    "ctypes.cast(f, ctypes.c_void_p).value");
            break;
        case Conv::Int: ok = to_int(slot[j], a.n); break;
        case Conv::FloatRows: ok = a.view[nviews++].acquire_argument(slot[j], ElemType::Float, 2, name); break;
        case Conv::IntRows: ok = a.view[nviews++].acquire_argument(slot[j], ElemType::Int, 2, name); break;
        case Conv::FloatValues: ok = a.view[nviews++].acquire_argument(slot[j], ElemType::Float, 1, name); break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool init_binding() noexcept {
    if (initialised) return true;
    initialised = init_names() && init_numpy_access();
    return initialised;
}

bool add_functions(PyObject* module, const FunctionTable& table) noexcept {
    for (std::size_t i = 0; i < table.count; ++i)
        if (!table.rows[i].site.make()) return false;
    // Functions added this way have their reference counts deferred on free-threaded
    // builds, so that calls on several threads do not all write to them.
    if (PyModule_AddFunctions(module, table.defs) < 0) return false;
    // Their __module__ is the module's __name__, which is some other name only when the
    // file was loaded under one: it is still this module.
    const char* name = PyModule_GetName(module);
    if (!name) return false;
    if (std::strcmp(name, QUORPY_MODULE) == 0) return true;
    Ref owner = Ref::steal(PyUnicode_FromString(QUORPY_MODULE));
    if (!owner) return false;
    for (std::size_t i = 0; i < table.count; ++i) {
        Ref function = Ref::steal(PyObject_GetAttrString(module, table.rows[i].name));
        if (!function || PyObject_SetAttrString(function.get(), "__module__", owner.get()) < 0) return false;
    }
    return true;
}

PyObject* call_function(const Function& f, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    Ref result;
    {
        PyObject* slot[max_params] = {};
        Args a;
        a.module = module;
        if (bind(f, args, nargs, kwnames, slot) && convert(f, slot, a)) result = f.body(a);
    }
    if (!result) {
        // Whatever the module called out to (an exporter, an __int__ slot, NumPy) may
        // have failed without saying why; that is still a failure, reported as the
        // interpreter reports it.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        f.site.add(PyModule_GetDict(module));
    }
    return result.release();
}

void add_note(const char* format, ...) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    va_list args;
    va_start(args, format);
    Ref note = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (note) Ref::steal(PyObject_CallMethodOneArg(exc, str(Str::add_note), note.get()));
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

bool TracebackSite::make() const noexcept {
    if (code_.load(std::memory_order_acquire)) return true;
    PyCodeObject* made = PyCode_NewEmpty(file_, qualname_, line_);
    if (!made) return false;
    code_.store(made, std::memory_order_release);
    return true;
}

void TracebackSite::add(PyObject* globals) const noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = make() ? code_.load(std::memory_order_acquire) : nullptr;
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // Failing to describe the error must not replace it.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
}

}  // namespace quorpy
