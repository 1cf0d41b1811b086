// Typed views: the one way the module reaches array memory.
//
// A view is taken over any buffer exporter, requested writable, C-contiguous and with
// a format, and refused unless its element type and layout already match: nothing is
// ever copied or converted. The buffer stays exported (so the memory cannot move)
// until the view is destroyed.
#pragma once

#include <Python.h>

#include <cstddef>

namespace quorpy {

enum class ElemType : unsigned char { Float, Int, UChar };

class View {
public:
    View() noexcept = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() { release(); }

    // Both return false with a Python exception set on refusal; `name` is what messages
    // call the array.
    // A caller's argument: a view of `obj` with `ndim` axes (1 or 2) of `type` elements;
    // `None` gives the empty view. A refusal for one of the common mistakes (a list, the
    // wrong shape or dtype, a strided or read-only array) carries a note naming `name`
    // and the fix.
    bool acquire_argument(PyObject* obj, ElemType type, int ndim, const char* name);
    // An array the module has just allocated and will fill: None is refused, and it must
    // hold at least `rows` rows (of at least 3 elements if 2-D), whatever `np` made.
    bool acquire_result(PyObject* obj, ElemType type, int ndim, Py_ssize_t rows, const char* name);
    void release() noexcept;

    char* data() const noexcept { return data_; }
    Py_ssize_t extent(int axis) const noexcept { return extent_[axis]; }
    Py_ssize_t stride(int axis) const noexcept { return stride_[axis]; }
    Py_ssize_t rows() const noexcept { return extent_[0]; }

private:
    // Why acquire() refused a buffer, as far as the caller's usual fix goes.
    enum class Refusal : unsigned char {
        None,
        Exporter,
        NotBuffer,
        Dimensions,
        ElementType,
        NotContiguous,
        ReadOnly,
        Other
    };

    Refusal acquire(PyObject* obj, ElemType type, int ndim, const char* subject, const char* name);
    static Refusal exporter_refusal(PyObject* obj) noexcept;
    static void add_hint(Refusal refusal, ElemType type, int ndim, const char* name) noexcept;

    Py_buffer buf_{};
    bool held_ = false;
    char* data_ = nullptr;
    // Copied out of the buffer once checked, so that the loops read plain numbers.
    Py_ssize_t extent_[2] = {0, 0};
    Py_ssize_t stride_[2] = {0, 0};
};

}  // namespace quorpy
