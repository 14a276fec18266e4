#include "support/constants.hpp"

namespace norv {

PyObject* g_strings[static_cast<int>(S::count_)] = {};
NumberConstants g_numbers;

namespace {

// Stores a new reference in `slot` for the life of the process.
int keep(PyObject*& slot, PyObject* made) noexcept {
    if (made == nullptr) {
        return -1;
    }
    slot = made;
    return 0;
}

}  // namespace

int make_constants() noexcept {
    if (g_numbers.kw_pool != nullptr) {
        return 0;  // made by an earlier, possibly failed, initialisation
    }
    for (int i = 0; i < static_cast<int>(S::count_); ++i) {
        if (g_strings[i] != nullptr) {
            continue;
        }
        const StringEntry& entry = kStringTable[i];
        PyObject* made = entry.interned ? PyUnicode_InternFromString(entry.text) : PyUnicode_FromString(entry.text);
        if (keep(g_strings[i], made) < 0) {
            return -1;
        }
    }
    NumberConstants& n = g_numbers;
    if ((n.float_1000 == nullptr && keep(n.float_1000, PyFloat_FromDouble(1000.0)) < 0) ||
        (n.int_4 == nullptr && keep(n.int_4, PyLong_FromLong(4)) < 0) ||
        (n.int_50 == nullptr && keep(n.int_50, PyLong_FromLong(50)) < 0) ||
        (n.kw_timeout == nullptr && keep(n.kw_timeout, PyTuple_Pack(1, str(S::timeout))) < 0) ||
        keep(n.kw_pool, PyTuple_Pack(2, str(S::max_workers), str(S::thread_name_prefix))) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace norv
