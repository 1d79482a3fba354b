// Python.h must come before every standard header.
// clang-format off
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// clang-format on

#include "launcher/embedded_python.h"

#include "platform/hatch_system.h"

namespace bix::hatch {
namespace {

constexpr unsigned long kHashSeed = 0x424958;
constexpr const char* kEntryModule = "bix_hatch_tool";
constexpr std::size_t kMaxSearchPathBytes = 1023;

// Clears the configuration on every way out of run().
class ConfigGuard {
public:
    ConfigGuard() { PyConfig_InitIsolatedConfig(&config_); }
    ~ConfigGuard() { clear(); }
    ConfigGuard(const ConfigGuard&) = delete;
    ConfigGuard& operator=(const ConfigGuard&) = delete;

    PyConfig* get() { return &config_; }
    void clear() {
        if (!cleared_) {
            PyConfig_Clear(&config_);
            cleared_ = true;
        }
    }

private:
    PyConfig config_{};
    bool cleared_ = false;
};

RunResult refused(Refusal why) {
    return RunResult{CheckResult::fail(why), 0};
}

void set_isolation_flags(PyConfig& config) {
    config.isolated = 1;
    config.use_environment = 0;
    config.use_hash_seed = 1;
    config.hash_seed = kHashSeed;
    config.parse_argv = 0;
    config.site_import = 0;
    config.write_bytecode = 0;
    config.user_site_directory = 0;
    config.safe_path = 1;
    config.pathconfig_warnings = 0;
}

bool set_strings(PyConfig& config, const RuntimeLayout& layout, int argc, char** argv) {
    wchar_t** const launcher_fields[] = {&config.program_name, &config.executable,
                                         &config.base_executable};
    for (wchar_t** field : launcher_fields) {
        if (PyStatus_Exception(PyConfig_SetBytesString(&config, field, layout.launcher.c_str()))) {
            return false;
        }
    }
    return !PyStatus_Exception(
               PyConfig_SetBytesString(&config, &config.home, layout.root.c_str())) &&
           !PyStatus_Exception(
               PyConfig_SetBytesString(&config, &config.run_module, kEntryModule)) &&
           !PyStatus_Exception(PyConfig_SetBytesArgv(&config, argc, argv));
}

// Decoding needs the pre-initialised runtime, which setting the first string above provides.
CheckResult set_search_paths(PyConfig& config, const RuntimeLayout& layout) {
    for (const std::string& path : layout.module_paths) {
        if (path.size() > kMaxSearchPathBytes) {
            return CheckResult::fail(Refusal::search_path_too_long);
        }
        wchar_t* decoded = Py_DecodeLocale(path.c_str(), nullptr);
        if (decoded == nullptr) {
            return CheckResult::fail(Refusal::search_path_undecodable);
        }
        const PyStatus status = PyWideStringList_Append(&config.module_search_paths, decoded);
        PyMem_RawFree(decoded);
        if (PyStatus_Exception(status)) {
            return CheckResult::fail(Refusal::search_path_append_failed);
        }
    }
    config.module_search_paths_set = 1;
    return CheckResult::pass();
}

} // namespace

PythonBuild linked_python_build() {
    return PythonBuild{BIX_HATCH_PYTHON_STDLIB_NAME, BIX_HATCH_PYTHON_SONAME};
}

RunResult EmbeddedPython::run(const RuntimeLayout& layout, int argc, char** argv) {
    ConfigGuard guard;
    PyConfig& config = *guard.get();
    set_isolation_flags(config);
    if (layout.launcher.size() >= kPathBufferSize) {
        return refused(Refusal::launcher_path_too_long);
    }
    if (!set_strings(config, layout, argc, argv)) {
        return refused(Refusal::interpreter_configuration_failed);
    }
    if (const CheckResult paths = set_search_paths(config, layout); !paths.ok()) {
        return RunResult{paths, 0};
    }
    const PyStatus status = Py_InitializeFromConfig(&config);
    guard.clear();
    if (PyStatus_Exception(status)) {
        return refused(Refusal::interpreter_initialization_failed);
    }
    return RunResult{CheckResult::pass(), Py_RunMain()};
}

} // namespace bix::hatch
