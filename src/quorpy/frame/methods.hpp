// A constant table of Function rows made, at compile time, into the method definitions
// CPython takes: one entry point per row, which hands the call to call_function with
// its row, and one signature block per row. Included by the one source file that holds
// the table.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <iterator>
#include <utility>

#include "frame/binding.hpp"

namespace quorpy {

// Hands `put` the signature block of f, "name($module, /, fn, inst, h, n)\n--\n\n", one
// character at a time. An ml_doc that holds nothing else gives the builtin its
// __text_signature__ (what inspect.signature reads) and leaves its __doc__ None.
template <typename Put>
constexpr void signature_block(const Function& f, Put put) {
    auto append = [&put](const char* s) {
        while (*s) put(*s++);
    };
    append(f.name);
    append("($module, /");
    for (int j = 0; j < f.nparams; ++j) {
        append(", ");
        append(text(f.params[j].name));
    }
    append(")\n--\n\n");
}

constexpr std::size_t signature_size(const Function& f) {
    std::size_t size = 1;  // the terminating null
    signature_block(f, [&size](char) { ++size; });
    return size;
}

// `rows`: a constant array of Function with static storage.
template <const auto& rows>
class Methods {
public:
    static constexpr FunctionTable table() noexcept { return {rows, count, defs.data()}; }

private:
    static constexpr std::size_t count = std::size(rows);

    template <std::size_t I>
    static PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        return call_function(rows[I], module, args, nargs, kwnames);
    }

    // The signature block of rows[I], null-terminated: a constant, made by the compiler.
    template <std::size_t I>
    static constexpr auto signature = [] {
        std::array<char, signature_size(rows[I])> block{};
        std::size_t k = 0;
        signature_block(rows[I], [&](char c) { block[k++] = c; });
        return block;
    }();

    template <std::size_t... I>
    static constexpr std::array<PyMethodDef, count + 1> make(std::index_sequence<I...>) {
        return {{{rows[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
                  METH_FASTCALL | METH_KEYWORDS, signature<I>.data()}...,
                 {nullptr, nullptr, 0, nullptr}}};
    }

    // ml_doc is the signature block alone: no docstrings. Made by the compiler and never
    // written (CPython takes it as non-const).
    static inline std::array<PyMethodDef, count + 1> defs = make(std::make_index_sequence<count>{});
};

}  // namespace quorpy
