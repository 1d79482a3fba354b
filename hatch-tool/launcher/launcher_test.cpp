#include "launcher/fake_system.h"
#include "launcher/launcher.h"

#include <gtest/gtest.h>
#include <vector>

namespace bix::hatch {
namespace {

using testing::FakeSystem;

const PythonBuild kPython{"python3.11", "libpython3.11.so.1.0"};

// Records whether and how the interpreter would have been started.
class RecordingInterpreter : public InterpreterHost {
public:
    RunResult result{CheckResult::pass(), 0};
    int runs = 0;
    RuntimeLayout layout;
    std::vector<std::string> arguments;
    std::vector<std::string> environment_at_start;
    FakeSystem* system = nullptr;

    RunResult run(const RuntimeLayout& l, int argc, char** argv) override {
        ++runs;
        layout = l;
        arguments.assign(argv, argv + argc);
        environment_at_start = system->environment;
        for (const std::string& name : system->removed) {
            std::erase(environment_at_start, name);
        }
        return result;
    }
};

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string root = "/opt/bix/runtime";
        for (const char* directory : {"", "/bin", "/lib"}) {
            system_.add_directory(root + directory, 0555, 0);
        }
        system_.add_file(root + "/bin/bix-hatch-tool", 0555);
        for (const char* directory : {"/app", "/lib/python3.11", "/lib/python3.11/lib-dynload",
                                      "/lib/python3.11/site-packages"}) {
            system_.add_directory(root + directory, 0555, 0);
        }
        for (const char* module : k_reviewed_modules) {
            system_.add_file(root + "/app/" + module, 0444);
        }
        system_.add_file(root + "/lib/libpython3.11.so.1.0", 0444);
        const FileStatus library = system_.files[root + "/lib/libpython3.11.so.1.0"];
        system_.library = FileIdentity{library.device, library.inode, 0};
        system_.symbol = system_.library;
        system_.add_directory("/home/u/ws", 0700);
        interpreter_.system = &system_;
    }

    int launch(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "bix-hatch-tool");
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        return run_launcher(static_cast<int>(arguments.size()), argv.data(), system_, kPython,
                            interpreter_);
    }

    FakeSystem system_;
    RecordingInterpreter interpreter_;
};

TEST_F(LauncherTest, RunsTheModuleWithTheCommandLineUnchangedAndReturnsItsStatus) {
    interpreter_.result.status = 65;
    EXPECT_EQ(launch({"job", "--workspace", "/home/u/ws", "--index", "7"}), 65);
    EXPECT_EQ(interpreter_.runs, 1);
    const std::vector<std::string> expected = {"bix-hatch-tool", "job",     "--workspace",
                                               "/home/u/ws",     "--index", "7"};
    EXPECT_EQ(interpreter_.arguments, expected);
    EXPECT_EQ(interpreter_.layout.root, "/opt/bix/runtime");
    EXPECT_EQ(system_.diagnostics, "");
}

TEST_F(LauncherTest, UsageErrorPrintsOnlyTheUsageText) {
    EXPECT_EQ(launch({"job", "--workspace", "/home/u/ws", "--index", "10"}), 64);
    EXPECT_EQ(system_.diagnostics, kUsageText);
    EXPECT_EQ(interpreter_.runs, 0);
}

TEST_F(LauncherTest, WorkspaceRefusalPrintsMessageThenUsage) {
    system_.add_directory("/home/u/open", 0750);
    system_.current_directory = "/home/u/open";
    EXPECT_EQ(launch({"prepare", "--workspace", "/home/u/open"}), 64);
    EXPECT_EQ(system_.diagnostics,
              std::string("bix-hatch-tool: workspace must be owned by this user with mode 0700\n") +
                  kUsageText);
    EXPECT_EQ(interpreter_.runs, 0);
}

TEST_F(LauncherTest, SelfTestSkipsTheWorkspaceChecks) {
    system_.current_error = ENOENT;
    EXPECT_EQ(launch({"self-test"}), 0);
    EXPECT_EQ(interpreter_.runs, 1);
}

TEST_F(LauncherTest, WorkspaceIsCheckedBeforeTheInstallation) {
    system_.files.erase("/opt/bix/runtime/app/bix_hatch_tool.py");
    EXPECT_EQ(launch({"finalize", "--workspace", "relative"}), 64);
    EXPECT_EQ(system_.diagnostics,
              std::string("bix-hatch-tool: workspace must be an absolute canonical path\n") +
                  kUsageText);
}

TEST_F(LauncherTest, InstallationRefusalsExitSeventyWithoutUsage) {
    system_.add_file("/opt/bix/runtime/app/make_contact_sheet.py", 0644);
    EXPECT_EQ(launch({"self-test"}), 70);
    EXPECT_EQ(system_.diagnostics,
              "bix-hatch-tool: reviewed runtime module is missing or writable\n");
    EXPECT_EQ(interpreter_.runs, 0);
}

TEST_F(LauncherTest, LoaderVariablesRestartTheLauncherOnceBeforeAnyCheck) {
    system_.environment = {"PATH", "LD_AUDIT", "LD_PRELOAD", "LD_BIND_NOW", "LD_LIBRARY_PATH"};
    EXPECT_EQ(launch({"job", "--index", "1"}), 70); // reached only when the restart failed
    const std::vector<std::vector<std::string>> restarts = {
        {"LD_AUDIT", "LD_PRELOAD", "LD_LIBRARY_PATH"}};
    EXPECT_EQ(system_.restarted_without, restarts);
    EXPECT_EQ(system_.restart_marker, k_restart_marker);
    EXPECT_EQ(system_.diagnostics,
              "bix-hatch-tool: could not restart without the dynamic loader variables\n");
    // Variables put back across the restart are refused; a clean restart drops its marker.
    system_.environment = {k_restart_marker, "LD_PRELOAD"};
    EXPECT_EQ(launch({"self-test"}), 70);
    EXPECT_EQ(system_.restarted_without.size(), 1u);
    EXPECT_EQ(interpreter_.runs, 0);
    system_.environment = {"PATH", k_restart_marker};
    EXPECT_EQ(launch({"self-test"}), 0);
    EXPECT_EQ(interpreter_.environment_at_start, std::vector<std::string>{"PATH"});
}

TEST_F(LauncherTest, ForeignInterpreterLibraryIsRefusedBeforeTheInterpreterStarts) {
    system_.library.inode = 1;
    EXPECT_EQ(launch({"self-test"}), 70);
    EXPECT_EQ(system_.diagnostics,
              "bix-hatch-tool: interpreter library is not the sealed runtime's copy\n");
    EXPECT_EQ(interpreter_.runs, 0);
}

TEST_F(LauncherTest, InterpreterVariablesAreRemovedBeforeTheInterpreterStarts) {
    system_.environment = {
        "PATH",    "PYTHONPATH", "PYTHONEXECUTABLE", "PYTHONHOME", "__PYVENV_LAUNCHER__", "HOME",
        "XPYTHON", "PYTHON"};
    EXPECT_EQ(launch({"self-test"}), 0);
    const std::vector<std::string> remaining = {"PATH", "HOME", "XPYTHON"};
    EXPECT_EQ(interpreter_.environment_at_start, remaining);
}

TEST_F(LauncherTest, FailureToClearTheEnvironmentStopsTheLaunch) {
    system_.environment = {"PYTHONPATH"};
    system_.remove_error = ENOMEM;
    EXPECT_EQ(launch({"self-test"}), 70);
    EXPECT_EQ(system_.diagnostics,
              "bix-hatch-tool: could not configure the isolated interpreter\n");
    EXPECT_EQ(interpreter_.runs, 0);
}

TEST_F(LauncherTest, InterpreterRefusalsAreReported) {
    const struct {
        Refusal refusal;
        const char* message;
    } cases[] = {
        {Refusal::launcher_path_too_long, "bix-hatch-tool: launcher path is too long\n"},
        {Refusal::search_path_too_long, "bix-hatch-tool: runtime module search path is too long\n"},
        {Refusal::search_path_undecodable,
         "bix-hatch-tool: could not decode a runtime module search path\n"},
        {Refusal::search_path_append_failed,
         "bix-hatch-tool: could not configure a runtime module search path\n"},
        {Refusal::interpreter_initialization_failed,
         "bix-hatch-tool: isolated interpreter initialization failed\n"},
    };
    for (const auto& c : cases) {
        system_.diagnostics.clear();
        interpreter_.result = RunResult{CheckResult::fail(c.refusal), 0};
        EXPECT_EQ(launch({"self-test"}), 70);
        EXPECT_EQ(system_.diagnostics, c.message);
    }
}

} // namespace
} // namespace bix::hatch
