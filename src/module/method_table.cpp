#include "module/method_table.hpp"

#include "core/coordinator.hpp"
#include "module/binding.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>

namespace norv {

namespace {

// The parameters, each written once; a method lists the ones it takes.
constexpr ParamSpec self{.name = S::self};
constexpr ParamSpec timeout_ms{.name = S::timeout_ms, .annotation = S::ann_int, .fallback = Default::int_50,
                               .refusal = S::refuse_timeout_ms};
constexpr ParamSpec audit_mode{.name = S::audit_mode, .annotation = S::ann_bool, .fallback = Default::false_};
constexpr ParamSpec guard{.name = S::guard, .annotation = S::SecurityModule};
constexpr ParamSpec shield{.name = S::shield, .annotation = S::SecurityModule};
constexpr ParamSpec content{.name = S::content, .annotation = S::ann_str, .refusal = S::refuse_content};
constexpr ParamSpec metadata{.name = S::metadata, .annotation = S::ann_optional_dict, .refusal = S::refuse_metadata};
constexpr ParamSpec metadata_or_none{.name = S::metadata, .annotation = S::ann_optional_dict,
                                     .fallback = Default::none, .refusal = S::refuse_metadata};
constexpr ParamSpec context{.name = S::context, .annotation = S::ann_str, .refusal = S::refuse_context};

constexpr const char kInitDoc[] =
    "\n        Initialize the Governance Coordinator.\n\n        Args:\n            timeout_ms (int): Hard "
    "execution limit per module in milliseconds.\n                              Defaults to 50ms "
    "(aggressive real-time target).\n            audit_mode (bool): If True, detected threats are logged "
    "but NOT blocked.\n                               Useful for initial deployment and shadow testing.\n"
    "        ";

constexpr const char kProcessInputDoc[] =
    "\n        Public Entry Point: Scans input prompt for injections and malicious intent.\n\n        "
    "Pipeline:\n            1. InputHeuristic (Regex/Fast)\n            2. InputNeural (AI/Semantic) - "
    "*If enabled and heuristic passed*\n\n        Args:\n            content (str): The user input "
    "prompt.\n            metadata (dict): Context (user_id, session_id) for audit logging.\n\n        "
    "Returns:\n            str: Original content (if safe), Sanitized content, or Refusal Message.\n"
    "        ";

constexpr const char kProcessOutputDoc[] =
    "\n        Public Entry Point: Scans model output for PII leakage or Toxic content.\n\n        Args:\n"
    "            content (str): The LLM response.\n            metadata (dict): Context.\n\n        "
    "Returns:\n            str: Redacted or Safe content.\n        ";

constexpr const char kRunFailSafeDoc[] =
    "\n        Executes a security module within a Fail-Safe, Timed, and Audited context.\n\n        "
    "Critical Logic:\n            - Catches ALL exceptions.\n            - Enforces hard timeouts via "
    "ThreadPool.\n            - Logs strict Audit Events to JSON.\n            - Respects 'Audit Mode' "
    "(Pass-through if detection only).\n        ";

constexpr const char kSafeScanDoc[] =
    "\n        Helper wrapper to run the scan inside the thread. \n        Catches exceptions within the "
    "thread to avoid crashing the executor.\n        ";

// A register method: stores its one module; returns None.
constexpr MethodSpec registration(S name, const char* doc, ParamSpec module, Body& body) {
    return {.name = name, .doc = doc, .params = {self, module}, .return_annotation = S::ann_none, .body = body};
}

// A public pipeline: a text and optional metadata in, the text that may pass out.
constexpr MethodSpec pipeline(S name, const char* doc, Body& body) {
    return {.name = name,
            .doc = doc,
            .params = {self, content, metadata_or_none},
            .return_annotation = S::ann_str,
            .return_test = true,
            .body = body};
}

constexpr MethodSpec kMethods[] = {
    {.name = S::d_init, .doc = kInitDoc, .params = {self, timeout_ms, audit_mode}, .body = core::init},
    registration(S::register_input_guard, "Registers the primary heuristic input guard (Regex/Pattern).", guard,
                 core::register_input_guard),
    registration(S::register_output_shield, "Registers the output protection shield (PII/Secret Redaction).", shield,
                 core::register_output_shield),
    registration(S::register_neural_guard, "Registers the semantic AI guard (ONNX/Deep Learning).", guard,
                 core::register_neural_guard),
    pipeline(S::process_input, kProcessInputDoc, core::process_input),
    pipeline(S::process_output, kProcessOutputDoc, core::process_output),
    // The runner tests its return value itself, inside its guarded region.
    {.name = S::_run_fail_safe,
     .doc = kRunFailSafeDoc,
     .params = {self, {.name = S::module, .annotation = S::ann_optional_module}, content, metadata, context},
     .return_annotation = S::ann_str,
     .body = core::run_fail_safe},
    {.name = S::_safe_scan,
     .doc = kSafeScanDoc,
     .params = {self, {.name = S::module, .annotation = S::SecurityModule}, {.name = S::content, .annotation = S::Any},
                metadata},
     .return_annotation = S::Any,
     .body = core::safe_scan},
};

// What the table promises binding and introspection, checked as it compiles.

constexpr bool self_first(const MethodSpec& m) { return m.params[0].name == S::self; }

constexpr bool counts_derived(const MethodSpec& m) {
    return m.nparams == count_params(m.params) && m.nrequired == count_required(m.params);
}

constexpr bool listed_without_gaps(const MethodSpec& m) {
    return std::none_of(m.params + m.nparams, std::end(m.params), [](const ParamSpec& p) { return p.present(); });
}

// The exposed __defaults__ and the positional count messages assume it.
constexpr bool required_first(const MethodSpec& m) {
    return std::none_of(m.params + m.nrequired, m.params + m.nparams,
                        [](const ParamSpec& p) { return p.fallback == Default::required; });
}

// "Argument '<name>' has incorrect type (expected <type>, got "
constexpr bool refusal_fits(const ParamSpec& p) {
    if (!can_refuse(p.check())) {
        return p.refusal == kNone;
    }
    if (p.refusal == kNone) {
        return false;
    }
    std::string_view message = text(p.refusal);
    std::string_view expected = p.check() == Check::exact_str ? "str" : p.check() == Check::to_int ? "int" : "dict";
    for (std::string_view part : {std::string_view("Argument '"), text(p.name),
                                  std::string_view("' has incorrect type (expected "), expected}) {
        if (!message.starts_with(part)) {
            return false;
        }
        message.remove_prefix(part.size());
    }
    return message == ", got ";
}

constexpr bool refusals_fit(const MethodSpec& m) {
    return std::all_of(m.params, m.params + m.nparams, refusal_fits);
}

constexpr bool return_test_fits(const MethodSpec& m) {
    return !m.return_test || m.return_annotation == S::ann_str;
}

constexpr bool all(bool (*rule)(const MethodSpec&)) {
    return std::all_of(std::begin(kMethods), std::end(kMethods), rule);
}

constexpr bool names_distinct() {
    return all([](const MethodSpec& a) {
        return std::count_if(std::begin(kMethods), std::end(kMethods),
                             [&](const MethodSpec& b) { return b.name == a.name; }) == 1;
    });
}

static_assert(all(self_first), "every method takes self first");
static_assert(all(counts_derived), "the counts are the parameter list's, not written by hand");
static_assert(all(listed_without_gaps), "parameters are listed without gaps");
static_assert(all(required_first), "required parameters come before optional ones");
static_assert(all(refusals_fit), "a refusal message exactly where a test can refuse, naming its parameter and type");
static_assert(all(return_test_fits), "only a method annotated str tests its result");
static_assert(all([](const MethodSpec& m) { return m.doc != nullptr; }), "every method has a docstring");
static_assert(names_distinct(), "one entry per method name");

// The pipelines enter the runner directly when content and metadata pass these
// tests (src/core/pipelines.cpp); the module and the label need none.
constexpr bool runner_tests_as_pipelines_assume() {
    const MethodSpec& m = *std::find_if(std::begin(kMethods), std::end(kMethods),
                                        [](const MethodSpec& e) { return e.name == S::_run_fail_safe; });
    constexpr Check expected[] = {Check::any, Check::any, Check::exact_str, Check::dict_or_none, Check::exact_str};
    return m.nparams == std::ssize(expected) &&
           std::equal(std::begin(expected), std::end(expected), m.params,
                      [](Check c, const ParamSpec& p) { return p.check() == c; });
}
static_assert(runner_tests_as_pipelines_assume(), "the runner's argument tests are those the pipelines apply");

template <const MethodSpec& M>
PyObject* method_entry(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return call_method_fixed<M>(args, nargsf, kwnames);
}

// One Method per table entry, so that the two lists cannot fall out of step.
template <size_t... I>
constexpr std::array<Method, sizeof...(I)> pair_entries(std::index_sequence<I...>) {
    return {Method{kMethods[I], method_entry<kMethods[I]>}...};
}

constexpr auto kMethodList = pair_entries(std::make_index_sequence<std::size(kMethods)>{});

}  // namespace

std::span<const Method> methods() noexcept { return kMethodList; }

PyObject* default_value(Default fallback) noexcept {
    switch (fallback) {
        case Default::none:
            return Py_None;
        case Default::false_:
            return Py_False;
        case Default::int_50:
            return g_numbers.int_50;
        case Default::required:
            break;
    }
    return nullptr;
}

}  // namespace norv
