#include "module/method_table.hpp"

#include "core/coordinator.hpp"
#include "module/binding.hpp"

namespace norv {

namespace {

constexpr S kNoAnnotation = S::count_;

constexpr ParamSpec self_param{S::self, Check::any, Default::required, kNoAnnotation};

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

}  // namespace

constexpr MethodSpec kMethods[kMethodCount] = {
    {S::d_init, "__init__", kInitDoc,
     {self_param,
      {S::timeout_ms, Check::to_int, Default::int_50, S::ann_int, S::refuse_timeout_ms},
      {S::audit_mode, Check::to_flag, Default::false_, S::ann_bool}},
     3, 1, kNoAnnotation, false, core::init},
    {S::register_input_guard, "register_input_guard",
     "Registers the primary heuristic input guard (Regex/Pattern).",
     {self_param, {S::guard, Check::any, Default::required, S::SecurityModule}},
     2, 2, S::ann_none, false, core::register_input_guard},
    {S::register_output_shield, "register_output_shield",
     "Registers the output protection shield (PII/Secret Redaction).",
     {self_param, {S::shield, Check::any, Default::required, S::SecurityModule}},
     2, 2, S::ann_none, false, core::register_output_shield},
    {S::register_neural_guard, "register_neural_guard",
     "Registers the semantic AI guard (ONNX/Deep Learning).",
     {self_param, {S::guard, Check::any, Default::required, S::SecurityModule}},
     2, 2, S::ann_none, false, core::register_neural_guard},
    {S::process_input, "process_input", kProcessInputDoc,
     {self_param,
      {S::content, Check::exact_str, Default::required, S::ann_str, S::refuse_content},
      {S::metadata, Check::dict_or_none, Default::none, S::ann_optional_dict, S::refuse_metadata}},
     3, 2, S::ann_str, true, core::process_input},
    {S::process_output, "process_output", kProcessOutputDoc,
     {self_param,
      {S::content, Check::exact_str, Default::required, S::ann_str, S::refuse_content},
      {S::metadata, Check::dict_or_none, Default::none, S::ann_optional_dict, S::refuse_metadata}},
     3, 2, S::ann_str, true, core::process_output},
    // The runner tests its return value itself, inside its guarded region.
    {S::_run_fail_safe, "_run_fail_safe", kRunFailSafeDoc,
     {self_param,
      {S::module, Check::any, Default::required, S::ann_optional_module},
      {S::content, Check::exact_str, Default::required, S::ann_str, S::refuse_content},
      {S::metadata, Check::dict_or_none, Default::required, S::ann_optional_dict, S::refuse_metadata},
      {S::context, Check::exact_str, Default::required, S::ann_str, S::refuse_context}},
     5, 5, S::ann_str, false, core::run_fail_safe},
    {S::_safe_scan, "_safe_scan", kSafeScanDoc,
     {self_param,
      {S::module, Check::any, Default::required, S::SecurityModule},
      {S::content, Check::any, Default::required, S::Any},
      {S::metadata, Check::dict_or_none, Default::required, S::ann_optional_dict, S::refuse_metadata}},
     4, 4, S::Any, false, core::safe_scan},
};

namespace {

template <const MethodSpec& M>
PyObject* method_entry(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return call_method_fixed<M>(args, nargsf, kwnames);
}

}  // namespace

const vectorcallfunc kMethodEntries[kMethodCount] = {
    method_entry<kMethods[0]>, method_entry<kMethods[1]>, method_entry<kMethods[2]>, method_entry<kMethods[3]>,
    method_entry<kMethods[4]>, method_entry<kMethods[5]>, method_entry<kMethods[6]>, method_entry<kMethods[7]>,
};

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
