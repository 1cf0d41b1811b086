#include "frame/view.hpp"

#include "frame/binding.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorpy {
namespace {

// Which format elements may stand for which view element: the sizes must agree and
// the classes too, except that a char matches anything of its size.
enum class Class : unsigned char { SignedInt, UnsignedInt, Real, Complex, Char, Object };

struct Element {
    Class cls;
    std::size_t size;
    std::size_t align;      // what a native may assume of every element's address
    const char* described;  // as messages print it
    const char* dtype;      // the NumPy dtype of such arrays, as hints name it
};

constexpr Element view_elements[] = {
    {Class::Real, 4, alignof(float), "float", "float32"},
    {Class::SignedInt, 4, alignof(std::int32_t), "int", "int32"},
    {Class::UnsignedInt, 1, alignof(unsigned char), "unsigned char", "uint8"},
};
// The strides of a view are whole multiples of the element size (the layout checks and
// the C strides make sure), so an element aligned at the data address aligns them all.
static_assert([] {
    for (const Element& e : view_elements)
        if (e.size % e.align != 0) return false;
    return true;
}());

// Size and alignment of a C type under "@"/"^": whatever this platform gives it.
struct Native {
    unsigned char size, align;
};

template <typename T>
constexpr Native native{sizeof(T), alignof(T)};

// A complex number is two of its part type, aligned as one (in C and C++ alike).
template <typename T>
constexpr Native complex_of{2 * sizeof(T), alignof(T)};

// Byte-order prefixes: "=" and those of this machine's order give standard sizes; those
// of the other order are refused, since the loops hand elements over as they lie.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
constexpr bool little_endian = std::endian::native == std::endian::little;
constexpr const char* foreign_order_prefixes = little_endian ? ">!" : "<";
constexpr const char* foreign_order_message = little_endian
                                                  ? "Big-endian buffer not supported on little-endian compiler"
                                                  : "Little-endian buffer not supported on big-endian compiler";

// One row per format character. Sizes under "@"/"^" (native) and the other prefixes
// (standard); a standard size of 0 means the character has none (long double).
struct FormatChar {
    char c;
    Class cls;
    Native native;
    unsigned char standard_size;
    const char* described;
};

constexpr FormatChar format_chars[] = {
    {'?', Class::UnsignedInt, native<bool>, 1, "'bool'"},
    {'c', Class::Char, native<char>, 1, "'char'"},
    {'b', Class::SignedInt, native<signed char>, 1, "'signed char'"},
    {'B', Class::UnsignedInt, native<unsigned char>, 1, "'unsigned char'"},
    {'h', Class::SignedInt, native<short>, 2, "'short'"},
    {'H', Class::UnsignedInt, native<unsigned short>, 2, "'unsigned short'"},
    {'i', Class::SignedInt, native<int>, 4, "'int'"},
    {'I', Class::UnsignedInt, native<unsigned int>, 4, "'unsigned int'"},
    {'l', Class::SignedInt, native<long>, 4, "'long'"},
    {'L', Class::UnsignedInt, native<unsigned long>, 4, "'unsigned long'"},
    {'q', Class::SignedInt, native<long long>, 8, "'long long'"},
    {'Q', Class::UnsignedInt, native<unsigned long long>, 8, "'unsigned long long'"},
    {'f', Class::Real, native<float>, 4, "'float'"},
    {'d', Class::Real, native<double>, 8, "'double'"},
    {'g', Class::Real, native<long double>, 0, "'long double'"},
    {'O', Class::Object, native<void*>, 8, "Python object"},
    {'s', Class::SignedInt, native<char>, 1, "a string"},
    {'p', Class::SignedInt, native<char>, 1, "a string"},
};

// The characters that may follow "Z".
constexpr FormatChar complex_chars[] = {
    {'f', Class::Complex, complex_of<float>, 8, "'complex float'"},
    {'d', Class::Complex, complex_of<double>, 16, "'complex double'"},
    {'g', Class::Complex, complex_of<long double>, 0, "'complex long double'"},
};

#if defined(__x86_64__) && defined(__LP64__)
// On x86-64 LP64 the derived native sizes are exactly the fixed ones this table used to
// hold, and every real or integer element is aligned to its size, as it used to be.
template <std::size_t N>
constexpr bool native_is(const FormatChar (&table)[N], const unsigned char (&sizes)[N], bool align_is_size) {
    for (std::size_t i = 0; i < N; ++i)
        if (table[i].native.size != sizes[i] || (align_is_size && table[i].native.align != sizes[i])) return false;
    return true;
}
static_assert(native_is(format_chars, {1, 1, 1, 1, 2, 2, 4, 4, 8, 8, 8, 8, 4, 8, 16, 8, 1, 1}, true));
static_assert(native_is(complex_chars, {8, 16, 32}, false));
#endif

template <std::size_t N>
const FormatChar* find_char(const FormatChar (&table)[N], char c) {
    for (const FormatChar& row : table)
        if (row.c == c) return &row;
    return nullptr;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Counts and offsets come from the exporter's text and may be absurdly large: they
// saturate instead of overflowing, which refuses them all the same.
Py_ssize_t saturating_add(Py_ssize_t a, Py_ssize_t b) { return a > PY_SSIZE_T_MAX - b ? PY_SSIZE_T_MAX : a + b; }

// Reads a buffer format string and checks that it describes exactly one element of
// the wanted type at offset 0 (records, pads and prefixes allowed around it).
class FormatReader {
public:
    FormatReader(const char* format, const Element& want) : s_(format), want_(want) {}

    bool run() {
        Py_ssize_t count = 1;
        bool counted = false;
        while (char c = *s_) {
            if (counted && c == '(') {
                PyErr_SetString(PyExc_ValueError, "Cannot handle repeated arrays in format string");
                return false;
            }
            switch (c) {
            case ' ':
            case '\r':
            case '\n': ++s_; continue;
            case '@':
            case '^':
            case '=':
            case '<':
            case '>':
            case '!':
                if (std::strchr(foreign_order_prefixes, c)) {
                    PyErr_SetString(PyExc_ValueError, foreign_order_message);
                    return false;
                }
                standard_ = c != '@' && c != '^';
                aligned_ = c == '@';
                ++s_;
                continue;
            case 'T':
                if (*++s_ != '{') {
                    PyErr_SetString(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
                    return false;
                }
                ++s_;
                ++depth_;
                continue;
            case '}':
                // A brace closing no record ends the format; what follows is not read.
                if (depth_ == 0) return finish();
                --depth_;
                ++s_;
                continue;
            case ':': {
                const char* end = std::strchr(s_ + 1, ':');
                if (!end) return not_understood(c);
                s_ = end + 1;
                continue;
            }
            case '(': return subarray();
            case 'x': offset_ = saturating_add(offset_, count); break;
            case 'Z': {
                const FormatChar* row = find_char(complex_chars, s_[1]);
                if (!row) {
                    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", 'Z');
                    return false;
                }
                ++s_;
                if (!element(*row, count)) return false;
                break;
            }
            default:
                if (is_digit(c)) {
                    count = 0;
                    while (is_digit(*s_)) {
                        int digit = *s_++ - '0';
                        count = count > (PY_SSIZE_T_MAX - digit) / 10 ? PY_SSIZE_T_MAX : count * 10 + digit;
                    }
                    counted = true;
                    continue;
                }
                const FormatChar* row = find_char(format_chars, c);
                if (!row) return not_understood(c);
                if (!element(*row, count)) return false;
                break;
            }
            // A pad or an element consumed the pending count.
            ++s_;
            count = 1;
            counted = false;
        }
        return finish();
    }

private:
    bool finish() {
        if (!matched_) return mismatch("'", want_.described, "'", "end");
        return true;
    }

    bool element(const FormatChar& row, Py_ssize_t count) {
        std::size_t size = standard_ ? row.standard_size : row.native.size;
        if (size == 0) {
            PyErr_SetString(PyExc_ValueError,
                            "Python does not define a standard format string size for long double ('g')..");
            return false;
        }
        if (matched_) return mismatch("", "end", "", row.described);
        if (size != want_.size || (row.cls != want_.cls && row.cls != Class::Char))
            return mismatch("'", want_.described, "'", row.described);
        const Py_ssize_t ssize = static_cast<Py_ssize_t>(size);
        const Py_ssize_t align = row.native.align;  // aligned_ only under "@", never standard
        if (aligned_ && offset_ % align != 0) offset_ = saturating_add(offset_, align - offset_ % align);
        if (offset_ != 0) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                         offset_, Py_ssize_t{0});
            return false;
        }
        if (count != 1) return mismatch("", "end", "", row.described);
        matched_ = true;
        offset_ += ssize;
        return true;
    }

    // A sub-array shape "(n,m,...)": never wanted, but a malformed one is reported as such.
    bool subarray() {
        int ndim = 0;
        ++s_;
        for (;;) {
            while (*s_ == ' ') ++s_;
            if (*s_ == '\0') {
                PyErr_SetString(PyExc_ValueError, "Unexpected end of format string, expected ')'");
                return false;
            }
            if (*s_ == ')') break;
            if (!is_digit(*s_)) {
                PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'",
                             static_cast<unsigned char>(*s_));
                return false;
            }
            while (is_digit(*s_)) ++s_;
            ++ndim;
            while (*s_ == ' ') ++s_;
            if (*s_ == ',') {
                ++s_;
            } else if (*s_ != ')' && *s_ != '\0') {
                PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'",
                             static_cast<unsigned char>(*s_));
                return false;
            }
        }
        PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %d", 0, ndim);
        return false;
    }

    bool mismatch(const char* q1, const char* expected, const char* q2, const char* got) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", q1, expected, q2, got);
        return false;
    }

    bool not_understood(char c) {
        PyErr_Format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')",
                     static_cast<unsigned char>(c));
        return false;
    }

    const char* s_;
    const Element& want_;
    bool standard_ = false;
    bool aligned_ = true;
    bool matched_ = false;
    int depth_ = 0;
    Py_ssize_t offset_ = 0;
};

bool refuse(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

// a * b, or false when the product does not fit in Py_ssize_t. `a` is positive: an item
// size already matched against the view's element, or a byte size that is not 0.
bool multiply(Py_ssize_t a, Py_ssize_t b, Py_ssize_t& product) {
    if (b > PY_SSIZE_T_MAX / a || b < PY_SSIZE_T_MIN / a) return false;
    product = a * b;
    return true;
}

// The layout checks; only exporters that ignore the contiguity request can fail them.
bool check_layout(const Py_buffer& b, const Py_ssize_t* extent, int ndim) {
    if (b.len <= 0) return true;
    const int last = ndim - 1;
    for (int axis = 0; axis < ndim; ++axis) {
        if (extent[axis] < 2) continue;
        if (b.strides) {
            const Py_ssize_t stride = b.strides[axis];
            // |stride| >= itemsize, written so that the most negative stride cannot overflow.
            bool ok = axis == last ? stride == b.itemsize : stride >= b.itemsize || stride <= -b.itemsize;
            if (!ok) return refuse("Buffer and memoryview are not contiguous in the same dimension.");
        } else if (b.suboffsets) {
            return refuse("Buffer exposes suboffsets but no strides");
        }
    }
    if (b.suboffsets) {
        for (int axis = 0; axis < ndim; ++axis) {
            if (b.suboffsets[axis] >= 0) {
                PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", axis);
                return false;
            }
        }
    }
    if (b.strides) {
        bool contiguous = b.strides[last] == b.itemsize || extent[last] <= 1;
        if (ndim == 2) {
            Py_ssize_t row_bytes = 0;
            contiguous = contiguous &&
                         ((multiply(b.itemsize, extent[1], row_bytes) && b.strides[0] == row_bytes) || extent[0] <= 1);
        }
        if (!contiguous) return refuse("Buffer not C contiguous.");
    }
    return true;
}

// The exporter's extents must describe real memory: none negative, a byte size that
// fits in Py_ssize_t, and exactly the length it reports. Only then can every row be
// addressed without overflow, and no row lies past the memory it exported. Sets
// `row_bytes`, the byte size of one row (of the one element of a one-axis view).
bool check_size(const Py_buffer& b, const Py_ssize_t* extent, int ndim, Py_ssize_t& row_bytes) {
    for (int axis = 0; axis < ndim; ++axis) {
        if (extent[axis] < 0) {
            PyErr_Format(PyExc_ValueError, "Buffer has a negative extent (%zd) in dimension %d", extent[axis], axis);
            return false;
        }
    }
    // Bytes of one row (of the one element of a one-axis view), then of the whole buffer.
    row_bytes = b.itemsize;
    Py_ssize_t total = 0;
    bool fits = ndim == 1 || multiply(b.itemsize, extent[1], row_bytes);
    if (fits) {
        if (row_bytes == 0)
            total = 0;
        else
            fits = multiply(row_bytes, extent[0], total);
    }
    if (fits && total == b.len) return true;
    char shape[64];
    if (ndim == 2)
        std::snprintf(shape, sizeof shape, "(%zd, %zd)", extent[0], extent[1]);
    else
        std::snprintf(shape, sizeof shape, "(%zd,)", extent[0]);
    if (!fits)
        PyErr_Format(PyExc_ValueError, "Buffer of shape %s with %zd-byte items is larger than any memory", shape,
                     b.itemsize);
    else
        PyErr_Format(PyExc_ValueError,
                     "Buffer length (%zd bytes) does not match its shape %s of %zd-byte items (%zd bytes)", b.len,
                     shape, b.itemsize, total);
    return false;
}

}  // namespace

void View::release() noexcept {
    if (held_) {
        held_ = false;
        PyBuffer_Release(&buf_);
    }
    data_ = nullptr;
    extent_[0] = extent_[1] = stride_[0] = stride_[1] = 0;
}

bool View::acquire_argument(PyObject* obj, ElemType type, int ndim, const char* name) {
    release();
    if (obj == Py_None) return true;
    Refusal refusal = acquire(obj, type, ndim, "", name);
    if (refusal == Refusal::None) return true;
    if (refusal == Refusal::Exporter) refusal = exporter_refusal(obj);
    add_hint(refusal, type, ndim, name);
    return false;
}

// Only a call that has already failed gets here, so what this costs is never paid on
// success.
View::Refusal View::exporter_refusal(PyObject* obj) noexcept {
    if (!PyObject_CheckBuffer(obj)) return Refusal::NotBuffer;
    // The exporter refused the module's request: ask it again for the least a buffer
    // gives (read-only, any strides) to learn which part of the request it could not
    // meet. That probe's own failure says nothing and is dropped.
    PyObject* exc = PyErr_GetRaisedException();
    Py_buffer probe;
    Refusal refusal = Refusal::Other;
    if (PyObject_GetBuffer(obj, &probe, PyBUF_RECORDS_RO) == 0) {
        if (!PyBuffer_IsContiguous(&probe, 'C'))
            refusal = Refusal::NotContiguous;
        else if (probe.readonly)
            refusal = Refusal::ReadOnly;
        PyBuffer_Release(&probe);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return refusal;
}

void View::add_hint(Refusal refusal, ElemType type, int ndim, const char* name) noexcept {
    const char* dtype = view_elements[static_cast<int>(type)].dtype;
    const char* shape = ndim == 2 ? "(n, 3)" : "(n,)";
    switch (refusal) {
    case Refusal::NotBuffer:
        add_note("%s must be a NumPy array of shape %s and dtype %s: pass np.asarray(%s, dtype=np.%s)", name, shape,
                 dtype, name, dtype);
        break;
    case Refusal::ElementType:
        add_note("%s must have dtype %s: pass %s.astype(np.%s)", name, dtype, name, dtype);
        break;
    case Refusal::NotContiguous: add_note("%s must be C-contiguous: pass np.ascontiguousarray(%s)", name, name); break;
    case Refusal::ReadOnly:
        add_note("%s must be writable, even as an input: pass a copy, %s.copy()", name, name);
        break;
    case Refusal::Dimensions:
        add_note("%s must have shape %s: pass %s.reshape(%s)", name, shape, name, ndim == 2 ? "-1, 3" : "-1");
        break;
    case Refusal::None:
    case Refusal::Exporter:
    case Refusal::Other: break;
    }
}

bool View::acquire_result(PyObject* obj, ElemType type, int ndim, Py_ssize_t rows, const char* name) {
    release();
    if (acquire(obj, type, ndim, "result array ", name) != Refusal::None) return false;
    if (extent_[0] >= rows && (ndim == 1 || rows == 0 || extent_[1] >= 3)) return true;
    if (ndim == 2)
        PyErr_Format(PyExc_ValueError, "result array has shape (%zd, %zd) where (%zd, 3) is needed", extent_[0],
                     extent_[1], rows);
    else
        PyErr_Format(PyExc_ValueError, "result array has %zd elements where %zd are needed", extent_[0], rows);
    release();
    return false;
}

View::Refusal View::acquire(PyObject* obj, ElemType type, int ndim, const char* subject, const char* name) {
    if (PyObject_GetBuffer(obj, &buf_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0)
        return Refusal::Exporter;
    held_ = true;
    // From here on every refusal releases the buffer again.
    auto fail = [this](Refusal why = Refusal::Other) {
        release();
        return why;
    };
    const Element& want = view_elements[static_cast<int>(type)];

    if (buf_.readonly) {
        refuse("Buffer is read-only");
        return fail(Refusal::ReadOnly);
    }
    if (buf_.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, buf_.ndim);
        return fail(Refusal::Dimensions);
    }
    // An exporter that gives no format describes unsigned bytes.
    if (!FormatReader(buf_.format ? buf_.format : "B", want).run()) return fail(Refusal::ElementType);
    if (static_cast<std::size_t>(buf_.itemsize) != want.size) {
        std::size_t got = static_cast<std::size_t>(buf_.itemsize);
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)", got,
                     got >= 2 ? "s" : "", want.described, want.size, want.size >= 2 ? "s" : "");
        return fail(Refusal::ElementType);
    }
    if (buf_.shape) {
        for (int axis = 0; axis < ndim; ++axis) extent_[axis] = buf_.shape[axis];
    } else if (ndim == 1) {
        extent_[0] = buf_.len / buf_.itemsize;
    } else {
        refuse("Buffer exposes no shape");
        return fail();
    }
    Py_ssize_t row_bytes = 0;
    if (!check_layout(buf_, extent_, ndim)) return fail(Refusal::NotContiguous);
    if (!check_size(buf_, extent_, ndim, row_bytes)) return fail();
    // Empty memory is never read or written, wherever it is; any other must be real and
    // aligned, as natives dereference typed pointers into it.
    if (buf_.len > 0) {
        if (!buf_.buf) {
            PyErr_Format(PyExc_ValueError, "Buffer of %zd bytes is at address NULL", buf_.len);
            return fail();
        }
        if (reinterpret_cast<std::uintptr_t>(buf_.buf) % want.align != 0) {
            PyErr_Format(PyExc_ValueError,
                         "%s%s is not aligned: its '%s' elements need an address that is a multiple of %zu", subject,
                         name, want.described, want.align);
            return fail();
        }
    }

    // The C strides of the shape: the exporter's own wherever an axis has two elements
    // or more (the checks above make sure), and never a wild step past a lone row.
    stride_[ndim - 1] = buf_.itemsize;
    if (ndim == 2) stride_[0] = row_bytes;
    data_ = static_cast<char*>(buf_.buf);
    return Refusal::None;
}

}  // namespace quorpy
