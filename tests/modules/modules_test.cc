// Both deliverables, loaded by plugin-host as the browser loads a plug-in
// and driven by a page script.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_session.h"
#include "support/recorded_webm.h"
#include "support/run_program.h"

namespace {

using kelmora_test::BuildPath;
using kelmora_test::ProgramResult;
using kelmora_test::RunProgram;

ProgramResult RunHost(const std::string& module, const std::vector<std::string>& options,
                      const std::string& script, const std::string& cwd) {
  std::vector<std::string> argv = {BuildPath("plugin-host"), BuildPath(module)};
  argv.insert(argv.end(), options.begin(), options.end());
  return RunProgram(argv, script, cwd);
}

const char kChecksScript[] =
    "\"just text\"\n"
    "{\"type\": \"start\"}\n"
    "{\"type\": \"stop\", \"data\": \"x\"}\n"
    "{\"type\": \"Start\", \"data\": {}}\n"
    "{\"type\": 3, \"data\": {}}\n"
    "{\"$await\": \"tty\", \"match\": \"Stack traces are available.\\n\"}\n"
    "{\"$destroy\": true}\n";

struct ModuleCase {
  const char* module;
  const char* prefix;
  std::vector<std::string> start_up;  // console lines of the start-up
};

void PrintTo(const ModuleCase& c, std::ostream* out) { *out << c.module; }

class ModuleTest : public testing::TestWithParam<ModuleCase> {};

TEST_P(ModuleTest, StartsUpAndChecksPageMessages) {
  const ModuleCase& c = GetParam();
  std::string cwd = kelmora_test::MakeTempDir();
  ProgramResult result = RunHost(c.module, {}, kChecksScript, cwd);
  ASSERT_EQ(0, result.exit_code) << result.err;
  // Nothing the checks reject reaches the page.
  EXPECT_EQ((std::vector<std::string>{R"({"type":"tty","data":"Stack traces are available.\n"})"}),
            result.OutLines());
  std::vector<std::string> expected = c.start_up;
  for (const char* line : {"Got non-dict message", "Invalid message format",
                           "Invalid message format", "unknown message type",
                           "Invalid message format"}) {
    expected.push_back(std::string("ERROR ") + c.prefix + line);
  }
  EXPECT_EQ(expected, result.ErrLines());
  // The default file system directories were made in the working directory.
  struct stat info;
  EXPECT_EQ(0, stat((cwd + "/html5fs/persistent").c_str(), &info));
  EXPECT_EQ(0, stat((cwd + "/html5fs/temporary").c_str(), &info));
}

TEST_P(ModuleTest, ReportsMissingFileSystems) {
  const ModuleCase& c = GetParam();
  std::string cwd = kelmora_test::MakeTempDir();
  ProgramResult none = RunHost(c.module, {"--no-persistent", "--no-temporary"},
                               "{\"$await\": \"error\"}\n", cwd);
  ASSERT_EQ(0, none.exit_code) << none.err;
  EXPECT_EQ(R"({"type":"error","data":"failed to mount any html5 filesystem"})",
            none.OutLines().at(0));
  EXPECT_NE(std::string::npos,
            none.err.find(std::string("ERROR ") + c.prefix + "failed to mount any html5 filesystem"));

  ProgramResult one = RunHost(c.module, {"--no-temporary", "--persistent", cwd + "/mine"},
                              "{\"$await\": \"tty\"}\n{\"$await\": \"tty\"}\n", cwd);
  ASSERT_EQ(0, one.exit_code) << one.err;
  EXPECT_EQ((std::vector<std::string>{
                R"({"type":"tty","data":"temporary html5 filesystem is not available\n"})",
                R"({"type":"tty","data":"Stack traces are available.\n"})"}),
            one.OutLines());
  struct stat info;
  EXPECT_EQ(0, stat((cwd + "/mine").c_str(), &info));
}

INSTANTIATE_TEST_SUITE_P(
    BothModules, ModuleTest,
    testing::Values(
        ModuleCase{"edit_module.so", "kelmoraEdit:", {"LOG kelmoraEdit:initializing worker module"}},
        ModuleCase{"encoder_module.so",
                   "ruzevUroviRodarav:",
                   {"LOG ruzevUroviRodarav:initializing worker module",
                    "LOG ruzevUroviRodarav:initializing encoder module"}}));

// Each module takes its own commands only.
TEST(ModuleCommandsTest, KnownCommandsPassTheChecks) {
  std::string cwd = kelmora_test::MakeTempDir();
  std::string recorder_script;
  for (const char* type : {"start", "pause", "resume", "stop", "replaceTracks", "cancel"})
    recorder_script += std::string("{\"type\": \"") + type + "\", \"data\": {}}\n";
  ProgramResult recorder = RunHost("encoder_module.so", {}, recorder_script, cwd);
  ASSERT_EQ(0, recorder.exit_code) << recorder.err;
  // The recorder's handlers run on its worker, so their console lines
  // interleave with the main thread's check of "cancel".
  std::vector<std::string> lines = recorder.ErrLines();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{"ERROR ruzevUroviRodarav:unknown message type",
                                      "LOG ruzevUroviRodarav:Starting...",
                                      "LOG ruzevUroviRodarav:cannot resume, not paused",
                                      "LOG ruzevUroviRodarav:initializing encoder module",
                                      "LOG ruzevUroviRodarav:initializing worker module"}),
            lines);

  ProgramResult editor = RunHost("edit_module.so", {}, recorder_script, cwd);
  ASSERT_EQ(0, editor.exit_code) << editor.err;
  std::vector<std::string> expected = {"LOG kelmoraEdit:initializing worker module"};
  for (int i = 0; i < 4; ++i) expected.push_back("ERROR kelmoraEdit:unknown message type");
  expected.push_back("ERROR kelmoraEdit:cannot cancel while not started");
  EXPECT_EQ(expected, editor.ErrLines());
}

// Two embed elements of one module: two instances, each with its own start-up.
TEST(ModuleInstancesTest, OneModuleManyInstances) {
  std::string dir = kelmora_test::MakeTempDir();
  for (const char* module : {"edit_module.so", "encoder_module.so"}) {
    kelmora_test::ChildResult result = kelmora_test::RunInChild([&](kelmora_test::ChildSession& session) {
      session.browser().SetFileSystems(dir, dir);
      session.Load(BuildPath(module));
      PP_Instance first = session.Create();
      PP_Instance second = session.Create();
      session.Await(first, "tty");
      session.Await(second, "tty");
      session.browser().DestroyInstance(first);
      session.browser().DestroyInstance(second);
    });
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    std::string prefix = std::string(module) == "edit_module.so" ? "kelmoraEdit:" : "ruzevUroviRodarav:";
    for (int instance : {1, 2}) {
      std::vector<std::string> console = result.Console(instance);
      ASSERT_FALSE(console.empty()) << module;
      EXPECT_EQ("LOG " + prefix + "initializing worker module\n", console[0]);
      EXPECT_EQ(prefix == "ruzevUroviRodarav:" ? 2u : 1u, console.size()) << module;
      EXPECT_EQ("Stack traces are available.\n", result.TtyText(instance)) << module;
    }
  }
}

}  // namespace

namespace {

// The page scripts that `make demo` plays stay runnable; the editor's edit
// a recording made beforehand, as the demo does.
TEST(DemoScriptsTest, EachModulesScriptRunsToTheEnd) {
  for (const char* script : {"edit_module", "edit_module_gif", "encoder_module"}) {
    const std::string name = script;
    const std::string module = name.compare(0, 4, "edit") == 0 ? "edit_module" : "encoder_module";
    std::string dir = kelmora_test::MakeTempDir();
    // The recorder's demo logo, as scripts/demo.sh puts it there.
    std::string persistent = dir + "/html5fs/persistent";
    std::filesystem::create_directories(persistent);
    std::filesystem::copy_file(std::string(KELMORA_SOURCE_DIR) + "/scripts/demo/logo.png",
                               persistent + "/demo_logo.png");
    if (module == "edit_module") {
      ASSERT_EQ("", kelmora_test::RecordWebm(persistent + "/demo_recording.webm",
                                             "testsrc2=s=320x240:r=30:d=4", 4));
    }
    ProgramResult result = RunProgram(
        {BuildPath("plugin-host"), BuildPath(module + ".so"),
         std::string(KELMORA_SOURCE_DIR) + "/scripts/demo/" + name + ".jsonl"},
        "", dir);
    EXPECT_EQ(0, result.exit_code) << name << "\n" << result.err;
    EXPECT_FALSE(result.OutLines().empty()) << name;
  }
}

}  // namespace
