// Every constant object the module uses, made once when the module initialises.
//
// Hot paths never build a name, key or message: they index this table. Names
// (identifiers, attribute and keyword names) are interned so that attribute
// lookups and keyword matching can succeed on identity.
#pragma once

#include "support/ref.hpp"

#include <iterator>
#include <string_view>

namespace norv {

// The note appended when an argument's type is a subclass of the required one.
#define NORV_SUBCLASS_NOTE                                                              \
    "Argument checks here are exact and stricter than PEP 484: subclasses of "          \
    "built-in types are refused. They would be admitted only by a build with "          \
    "annotation typing (typing of arguments from their annotations) switched off."

// X(id, text, interned)
#define NORV_STRING_CONSTANTS(X)                                                        \
    /* attributes of the coordinator */                                                \
    X(timeout_seconds, "timeout_seconds", true)                                         \
    X(audit_mode, "audit_mode", true)                                                   \
    X(input_guard, "input_guard", true)                                                 \
    X(output_shield, "output_shield", true)                                             \
    X(neural_guard, "neural_guard", true)                                               \
    X(_executor, "_executor", true)                                                     \
    /* methods, parameters and annotations */                                           \
    X(d_init, "__init__", true)                                                       \
    X(register_input_guard, "register_input_guard", true)                               \
    X(register_output_shield, "register_output_shield", true)                           \
    X(register_neural_guard, "register_neural_guard", true)                             \
    X(process_input, "process_input", true)                                             \
    X(process_output, "process_output", true)                                           \
    X(_run_fail_safe, "_run_fail_safe", true)                                           \
    X(_safe_scan, "_safe_scan", true)                                                   \
    X(self, "self", true)                                                               \
    X(timeout_ms, "timeout_ms", true)                                                   \
    X(guard, "guard", true)                                                             \
    X(shield, "shield", true)                                                           \
    X(module, "module", true)                                                           \
    X(content, "content", true)                                                         \
    X(metadata, "metadata", true)                                                       \
    X(context, "context", true)                                                         \
    X(return_, "return", true)                                                          \
    X(ann_int, "int", true)                                                             \
    X(ann_bool, "bool", true)                                                           \
    X(ann_str, "str", true)                                                             \
    X(ann_none, "None", true)                                                           \
    X(Any, "Any", true)                                                                 \
    X(Optional, "Optional", true)                                                       \
    X(Dict, "Dict", true)                                                               \
    X(SecurityModule, "SecurityModule", true)                                           \
    X(ann_optional_module, "Optional[SecurityModule]", false)                           \
    X(ann_optional_dict, "Optional[Dict[str, Any]]", false)                             \
    /* collaborators' names */                                                          \
    X(submit, "submit", true)                                                           \
    X(result, "result", true)                                                           \
    X(timeout, "timeout", true)                                                         \
    X(scan, "scan", true)                                                               \
    X(refusal_message, "refusal_message", true)                                         \
    X(info, "info", true)                                                               \
    X(concurrent, "concurrent", true)                                                   \
    X(concurrent_futures, "concurrent.futures", true)                                   \
    X(futures, "futures", true)                                                         \
    X(ThreadPoolExecutor, "ThreadPoolExecutor", true)                                   \
    X(TimeoutError, "TimeoutError", true)                                               \
    X(max_workers, "max_workers", true)                                                 \
    X(thread_name_prefix, "thread_name_prefix", true)                                   \
    X(logging, "logging", true)                                                         \
    X(typing, "typing", true)                                                           \
    X(norv_core_interfaces, "norv.core.interfaces", true)                               \
    X(norv_utils_logger, "norv.utils.logger", true)                                     \
    X(setup_logger, "setup_logger", true)                                               \
    X(log_audit, "log_audit", true)                                                     \
    X(logger, "logger", true)                                                           \
    X(print, "print", true)                                                             \
    X(builtins, "builtins", true)                                                       \
    X(GovernanceCoordinator, "GovernanceCoordinator", true)                             \
    X(coordinator, "coordinator", true)                                                 \
    /* module attributes */                                                             \
    X(d_builtins, "__builtins__", true)                                               \
    X(d_module, "__module__", true)                                                   \
    X(d_qualname, "__qualname__", true)                                               \
    X(d_doc, "__doc__", true)                                                         \
    X(d_loader, "__loader__", true)                                                   \
    X(d_file, "__file__", true)                                                       \
    X(d_package, "__package__", true)                                                 \
    X(d_path, "__path__", true)                                                       \
    X(name, "name", true)                                                               \
    X(loader, "loader", true)                                                           \
    X(origin, "origin", true)                                                           \
    X(parent, "parent", true)                                                           \
    X(submodule_search_locations, "submodule_search_locations", true)                   \
    X(replace, "replace", true)                                                         \
    X(co_argcount, "co_argcount", true)                                                 \
    X(co_nlocals, "co_nlocals", true)                                                   \
    X(co_varnames, "co_varnames", true)                                                 \
    X(co_qualname, "co_qualname", true)                                                 \
    /* audit events */                                                                  \
    X(THREAT_DETECTED, "THREAT_DETECTED", true)                                         \
    X(TIMEOUT, "TIMEOUT", true)                                                         \
    X(INTERNAL_MODULE_ERROR, "INTERNAL_MODULE_ERROR", true)                             \
    X(outcome, "outcome", true)                                                         \
    X(size_bytes, "size_bytes", true)                                                   \
    X(limit_sec, "limit_sec", true)                                                     \
    X(action, "action", true)                                                           \
    X(error, "error", true)                                                             \
    X(AUDIT_ONLY, "AUDIT_ONLY", true)                                                   \
    X(BLOCKED, "BLOCKED", true)                                                         \
    X(FAIL_OPEN, "FAIL_OPEN", true)                                                     \
    X(InputHeuristic, "InputHeuristic", true)                                           \
    X(InputNeural, "InputNeural", true)                                                 \
    X(Output, "Output", true)                                                           \
    X(NORV_Worker, "NORV_Worker", true)                                                 \
    X(logger_name, "norv.coordinator", true)                                            \
    /* texts */                                                                         \
    X(empty, "", false)                                                                 \
    X(audit_mode_notice, "Audit Mode: Passing input despite detection in ", false)      \
    X(critical_failure, "NORV CRITICAL FAILURE: ", false)                               \
    /* refusals: head + the type's name + tail, see join_type_name */                  \
    X(refuse_content, "Argument 'content' has incorrect type (expected str, got ", false) \
    X(refuse_context, "Argument 'context' has incorrect type (expected str, got ", false) \
    X(refuse_metadata, "Argument 'metadata' has incorrect type (expected dict, got ", false) \
    X(refuse_timeout_ms, "Argument 'timeout_ms' has incorrect type (expected int, got ", false) \
    X(refuse_end, ")", false)                                                           \
    X(refuse_end_subclass, "). " NORV_SUBCLASS_NOTE, false)                            \
    X(expected_str, "Expected str, got ", false)                                        \
    X(class_doc,                                                                        \
      "\n    Coordinator orchestrates the security pipeline.\n    \n    Design "         \
      "Guarantees:\n    1. Fail-Safe: Internal errors in modules NEVER propagate to "   \
      "the host app.\n    2. Zero-Latency: Fallback to pass-through on timeout.\n    "  \
      "3. Observable: All security decisions are logged to JSON audit logs.\n    ",     \
      false)

enum class S : int {
#define NORV_X(id, text, interned) id,
    NORV_STRING_CONSTANTS(NORV_X)
#undef NORV_X
    count_
};

// Marks an absent name in tables indexed by S (no annotation, no parameter).
inline constexpr S kNone = S::count_;

struct StringEntry {
    const char* text;
    bool interned;
};

// The texts, readable at compile time (tables check themselves against them).
inline constexpr StringEntry kStringTable[] = {
#define NORV_X(id, text, interned) {text, interned},
    NORV_STRING_CONSTANTS(NORV_X)
#undef NORV_X
};
static_assert(std::size(kStringTable) == static_cast<size_t>(S::count_));

constexpr std::string_view text(S id) { return kStringTable[static_cast<int>(id)].text; }

// Non-string constants.
struct NumberConstants {
    PyObject* float_1000 = nullptr;     // 1000.0: milliseconds per second
    PyObject* int_4 = nullptr;          // the pool's worker count
    PyObject* int_50 = nullptr;         // default time limit in milliseconds
    PyObject* kw_timeout = nullptr;     // ("timeout",)
    PyObject* kw_pool = nullptr;        // ("max_workers", "thread_name_prefix")
};

extern PyObject* g_strings[static_cast<int>(S::count_)];
extern NumberConstants g_numbers;

// The constant string `id`, borrowed (the table owns it for the process's life).
inline PyObject* str(S id) noexcept { return g_strings[static_cast<int>(id)]; }

// obj.<name>, a new reference or null with the exception set.
inline Ref get_attr(PyObject* obj_b, S name) noexcept { return Ref::steal(PyObject_GetAttr(obj_b, str(name))); }

// Makes every constant; idempotent, so a retried import after a failed one is
// cheap. Returns -1 with an exception set on failure.
int make_constants() noexcept;

}  // namespace norv
