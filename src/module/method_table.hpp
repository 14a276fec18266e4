// The one table where the method layer and the coordinator's behaviour meet:
// for each of the eight methods of GovernanceCoordinator, its names, parameters,
// defaults, annotations, docstring, argument tests, return test and body.
#pragma once

#include "support/constants.hpp"
#include "support/type_tests.hpp"

#include <cstdint>
#include <span>

namespace norv {

// What binding does with one argument before the body sees it.
enum class Check : uint8_t {
    any,           // bound unchanged
    exact_str,     // must be exactly str
    dict_or_none,  // must be exactly dict, or None
    to_int,        // converted to an exact int (number protocol), else refused
    to_flag,       // reduced to True or False by its truth value
};

// Arguments are typed from their annotations, exactly: the annotation decides
// the test, so the two cannot disagree.
constexpr Check check_for(S annotation) {
    switch (annotation) {
        case S::ann_str:
            return Check::exact_str;
        case S::ann_optional_dict:
            return Check::dict_or_none;
        case S::ann_int:
            return Check::to_int;
        case S::ann_bool:
            return Check::to_flag;
        default:
            return Check::any;
    }
}

// Whether a test can refuse an argument (and so needs a refusal message).
constexpr bool can_refuse(Check check) {
    return check == Check::exact_str || check == Check::dict_or_none || check == Check::to_int;
}

// The type test of `check`. Conversions pass here: they refuse while converting.
inline bool passes(Check check, PyObject* value_b) noexcept {
    switch (check) {
        case Check::exact_str:
            return is_exact_str(value_b);
        case Check::dict_or_none:
            return is_dict_or_none(value_b);
        case Check::any:
        case Check::to_int:
        case Check::to_flag:
            break;
    }
    return true;
}

enum class Default : uint8_t { required, none, false_, int_50 };

struct ParamSpec {
    S name = kNone;  // kNone: no parameter (the rest of the list)
    S annotation = kNone;
    Default fallback = Default::required;
    S refusal = kNone;  // head of the type test's message, where the test can refuse

    constexpr bool present() const { return name != kNone; }
    constexpr Check check() const { return check_for(annotation); }
};

inline constexpr int kMaxParams = 5;
using ParamList = ParamSpec[kMaxParams];

// The number of parameters: those before the first absent one.
constexpr int count_params(const ParamList& params) {
    int n = 0;
    while (n < kMaxParams && params[n].present()) {
        ++n;
    }
    return n;
}

constexpr int count_required(const ParamList& params) {
    int n = 0;
    while (n < kMaxParams && params[n].present() && params[n].fallback == Default::required) {
        ++n;
    }
    return n;
}

using Body = PyObject*(PyObject* const* args) noexcept;

struct MethodSpec {
    S name;
    const char* doc;
    ParamList params;  // self first
    S return_annotation = kNone;
    bool return_test = false;  // the result must be exactly str or None
    Body& body;                // a reference: an entry cannot leave it out
    // Derived from `params`; an entry never writes them.
    int nparams = count_params(params);
    int nrequired = count_required(params);

    // For messages: "%.200s() ..."
    constexpr const char* c_name() const { return text(name).data(); }
};

// Whether binding converts an argument (then the general binder runs).
constexpr bool has_conversions(const MethodSpec& m) {
    for (int i = 0; i < m.nparams; ++i) {
        Check check = m.params[i].check();
        if (check == Check::to_int || check == Check::to_flag) {
            return true;
        }
    }
    return false;
}

// One method of the class: its table entry and the vectorcall entry that the
// binder was instantiated into for it.
struct Method {
    const MethodSpec& desc;
    vectorcallfunc entry;
};

// The methods, in the order the class defines them.
std::span<const Method> methods() noexcept;

// The value binding supplies for an absent argument (a borrowed constant), or
// null for a required parameter.
PyObject* default_value(Default fallback) noexcept;

}  // namespace norv
