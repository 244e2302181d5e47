// The plugin-host command: arguments, scripts from a file or standard input,
// and how a run ends.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/child_session.h"
#include "support/run_program.h"

namespace {

using kelmora_test::BuildPath;
using kelmora_test::ProgramResult;
using kelmora_test::RunProgram;

std::string WriteScript(const std::string& dir, const std::string& text) {
  std::string path = dir + "/script.jsonl";
  FILE* file = fopen(path.c_str(), "w");
  fputs(text.c_str(), file);
  fclose(file);
  return path;
}

TEST(PluginHostTest, RunsAScriptFileAndEndsCleanly) {
  std::string dir = kelmora_test::MakeTempDir();
  std::string script = WriteScript(
      dir, "{\"$await\": \"tty\"}\n{\"type\": \"start\", \"data\": {}}\n{\"$await\": \"start\"}\n");
  ProgramResult result =
      RunProgram({BuildPath("plugin-host"), BuildPath("edit_module.so"), "--persistent",
                  dir + "/p", "--temporary", dir + "/t", script},
                 "", dir);
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{R"({"type":"tty","data":"Stack traces are available.\n"})",
                                      R"({"type":"start","data":"parsing edit config failed"})"}),
            result.OutLines());
  EXPECT_EQ(0, access((dir + "/p").c_str(), F_OK));
  EXPECT_EQ(0, access((dir + "/t").c_str(), F_OK));
  // Only the given directories were made.
  EXPECT_NE(0, access((dir + "/html5fs").c_str(), F_OK));
}

TEST(PluginHostTest, ABadLineEndsTheRunNamingIt) {
  std::string dir = kelmora_test::MakeTempDir();
  ProgramResult result =
      RunProgram({BuildPath("plugin-host"), BuildPath("encoder_module.so")},
                 "{\"type\": \"stop\", \"data\": {}}\n\n{\"type\": broken\n{\"$sleep\": 1}\n", dir);
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(0, result.term_signal);
  EXPECT_EQ("plugin-host: line 3: not JSON: {\"type\": broken", result.ErrLines().back());
}

TEST(PluginHostTest, AnAwaitThatTimesOutFails) {
  std::string dir = kelmora_test::MakeTempDir();
  ProgramResult result = RunProgram(
      {BuildPath("plugin-host"), BuildPath("edit_module.so")},
      "{\"$await\": \"start\", \"match\": false, \"timeout_ms\": 100}\n{\"$sleep\": 1}\n", dir);
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("plugin-host: line 1: timed out after 100 ms waiting for \"start\" matching false",
            result.ErrLines().back());
  // Messages that came before the failure were still printed.
  EXPECT_EQ(1u, result.OutLines().size());
}

TEST(PluginHostTest, WrongArgumentsAndModules) {
  std::string dir = kelmora_test::MakeTempDir();
  ProgramResult usage = RunProgram({BuildPath("plugin-host")}, "", dir);
  EXPECT_EQ(2, usage.exit_code);
  EXPECT_NE(std::string::npos, usage.err.find("usage: plugin-host MODULE.so"));
  ProgramResult unknown =
      RunProgram({BuildPath("plugin-host"), BuildPath("edit_module.so"), "--bogus"}, "", dir);
  EXPECT_EQ(2, unknown.exit_code);
  ProgramResult missing_script = RunProgram(
      {BuildPath("plugin-host"), BuildPath("edit_module.so"), dir + "/none.jsonl"}, "", dir);
  EXPECT_EQ(2, missing_script.exit_code);
  EXPECT_NE(std::string::npos, missing_script.err.find("cannot open script"));
  ProgramResult not_a_module =
      RunProgram({BuildPath("plugin-host"), dir + "/none.so"}, "", dir);
  EXPECT_EQ(1, not_a_module.exit_code);
  EXPECT_NE(std::string::npos, not_a_module.err.find("plugin-host: cannot load module"));
  // A module named without a directory is the file in the working directory.
  std::string copy = "cp " + BuildPath("encoder_module.so") + " " + dir + "/mine.so";
  ASSERT_EQ(0, system(copy.c_str()));
  ProgramResult here = RunProgram({BuildPath("plugin-host"), "mine.so"}, "", dir);
  EXPECT_EQ(0, here.exit_code) << here.err;
  EXPECT_NE(std::string::npos, here.err.find("ruzevUroviRodarav:initializing worker module"));
}

TEST(PluginHostTest, MessagesAfterDestroyAreRefused) {
  std::string dir = kelmora_test::MakeTempDir();
  ProgramResult result =
      RunProgram({BuildPath("plugin-host"), BuildPath("edit_module.so")},
                 "{\"$destroy\": true}\n{\"type\": \"start\", \"data\": {}}\n", dir);
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("plugin-host: line 2: the instance was destroyed at line 1", result.ErrLines().back());
}

}  // namespace

namespace {

TEST(PluginHostTest, ClosedInputAndDeepLinesEndWithAMessage) {
  std::string dir = kelmora_test::MakeTempDir();
  // Standard input closed, not merely empty.
  // Made before the fork: the child allocates nothing (see RunProgram).
  const std::string err_path = dir + "/err.txt";
  const std::string host = BuildPath("plugin-host");
  const std::string module = BuildPath("edit_module.so");
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    close(0);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execl(host.c_str(), host.c_str(), module.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, kelmora_test::ReadFile(dir + "/err.txt")
                                   .find("plugin-host: no script: standard input is closed"));

  ProgramResult deep = RunProgram({BuildPath("plugin-host"), BuildPath("edit_module.so")},
                                  std::string(100000, '[') + "\n", dir);
  EXPECT_EQ(1, deep.exit_code);
  EXPECT_EQ(0, deep.term_signal);
  EXPECT_EQ("plugin-host: line 1: not JSON: nested deeper than 1000 levels",
            deep.ErrLines().back());
  // As deep as allowed still plays.
  ProgramResult allowed = RunProgram(
      {BuildPath("plugin-host"), BuildPath("edit_module.so")},
      "{\"type\": \"x\", \"data\": " + std::string(990, '[') + std::string(990, ']') + "}\n", dir);
  EXPECT_EQ(0, allowed.exit_code) << allowed.err;
}

}  // namespace
