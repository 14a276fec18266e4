// The one table where the method layer and the coordinator's behaviour meet:
// for each of the eight methods of GovernanceCoordinator, its names, parameters,
// defaults, annotations, docstring, argument tests, return test and body.
#pragma once

#include "support/constants.hpp"

#include <cstdint>

namespace norv {

// What binding does with one argument before the body sees it.
enum class Check : uint8_t {
    any,           // bound unchanged
    exact_str,     // must be exactly str
    dict_or_none,  // must be exactly dict, or None
    to_int,        // converted to an exact int (number protocol), else refused
    to_flag,       // reduced to True or False by its truth value
};

enum class Default : uint8_t { required, none, false_, int_50 };

struct ParamSpec {
    S name;
    Check check;
    Default fallback;
    S annotation;  // S::count_ for none
    S refusal = S::count_;  // head of the type test's message, for tested parameters
};

using Body = PyObject* (*)(PyObject* const* args) noexcept;

inline constexpr int kMaxParams = 5;

struct MethodSpec {
    S name;
    const char* c_name;  // for messages: "%.200s() ..."
    const char* doc;
    ParamSpec params[kMaxParams];
    int nparams;
    int nrequired;
    S return_annotation;  // S::count_ for none
    bool return_test;     // result must be exactly str or None
    Body body;
};

// Whether binding converts an argument (then the general binder runs).
constexpr bool has_conversions(const MethodSpec& m) {
    for (int i = 0; i < m.nparams; ++i) {
        if (m.params[i].check == Check::to_int || m.params[i].check == Check::to_flag) {
            return true;
        }
    }
    return false;
}

inline constexpr int kMethodCount = 8;
extern const MethodSpec kMethods[kMethodCount];

// Each method's vectorcall entry: the binder instantiated for its table entry.
extern const vectorcallfunc kMethodEntries[kMethodCount];

// The value binding supplies for an absent argument (a borrowed constant), or
// null for a required parameter.
PyObject* default_value(Default fallback) noexcept;

}  // namespace norv
