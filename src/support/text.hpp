// Small, allocation-free facts about exact str objects.
#pragma once

#include <Python.h>

#include <cstring>

namespace norv {

// Equality of two str objects by value: the cached hashes first (when both are
// known and differ, the texts differ), then length, width and the characters.
inline bool str_equal(PyObject* a_b, PyObject* b_b) noexcept {
    if (a_b == b_b) {
        return true;
    }
    Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a_b)->hash;
    Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b_b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) {
        return false;
    }
    Py_ssize_t len = PyUnicode_GET_LENGTH(a_b);
    if (len != PyUnicode_GET_LENGTH(b_b) || PyUnicode_KIND(a_b) != PyUnicode_KIND(b_b)) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(a_b), PyUnicode_DATA(b_b), static_cast<size_t>(len) * PyUnicode_KIND(a_b)) == 0;
}

// Number of bytes of the UTF-8 form of `s`, a lone surrogate counting as the
// three bytes it takes when encoded on its own ("surrogatepass"). Never fails:
// a text that a strict encoder would refuse still has a size.
inline Py_ssize_t utf8_size(PyObject* s_b) noexcept {
    Py_ssize_t len = PyUnicode_GET_LENGTH(s_b);
    int kind = PyUnicode_KIND(s_b);
    if (PyUnicode_IS_ASCII(s_b)) {
        return len;
    }
    const void* data = PyUnicode_DATA(s_b);
    Py_ssize_t size = 0;
    for (Py_ssize_t i = 0; i < len; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return size;
}

}  // namespace norv
