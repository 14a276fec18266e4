// Small facts about exact str objects, and the one way refusal messages are joined.
#pragma once

#include "support/ref.hpp"

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

// head + the first 200 bytes of `type_name` + tail: what "%U%.200s%U" gives,
// without the format interpreter, which costs more than the rest of a refused
// call. `head` and `tail` are ASCII constants; a type name is ASCII in
// practice, and anything else goes through the formatter.
inline PyObject* join_type_name(PyObject* head_b, const char* type_name, PyObject* tail_b) noexcept {
    size_t name_len = strnlen(type_name, 200);
    for (size_t i = 0; i < name_len; ++i) {
        if (static_cast<unsigned char>(type_name[i]) >= 0x80) {
            return PyUnicode_FromFormat("%U%.200s%U", head_b, type_name, tail_b);
        }
    }
    Py_ssize_t head_len = PyUnicode_GET_LENGTH(head_b);
    Py_ssize_t tail_len = PyUnicode_GET_LENGTH(tail_b);
    PyObject* joined = PyUnicode_New(head_len + static_cast<Py_ssize_t>(name_len) + tail_len, 127);
    if (joined == nullptr) {
        return nullptr;
    }
    Py_UCS1* out = PyUnicode_1BYTE_DATA(joined);
    std::memcpy(out, PyUnicode_1BYTE_DATA(head_b), static_cast<size_t>(head_len));
    std::memcpy(out + head_len, type_name, name_len);
    std::memcpy(out + head_len + name_len, PyUnicode_1BYTE_DATA(tail_b), static_cast<size_t>(tail_len));
    return joined;
}

// Raises TypeError with join_type_name's text; returns null for `return raise_...`.
inline PyObject* raise_type_error(PyObject* head_b, const char* type_name, PyObject* tail_b) noexcept {
    Ref message = Ref::steal(join_type_name(head_b, type_name, tail_b));
    if (message) {
        PyErr_SetObject(PyExc_TypeError, message.get());
    }
    return nullptr;
}

}  // namespace norv
