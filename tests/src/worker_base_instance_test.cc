#include "worker_base_instance.h"

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "ppapi/cpp/core.h"
#include "ppapi/cpp/module.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "support/child_session.h"

namespace {

using kelmora_test::ChildResult;
using kelmora_test::ChildSession;
using kelmora_test::RunInChild;

// A subclass as the two real instances are: one known command, "ping",
// answered from the worker.
class TestInstance : public WorkerBaseInstance {
 public:
  explicit TestInstance(PP_Instance instance)
      : WorkerBaseInstance(instance, "test:"), factory_(this) {}
  ~TestInstance() override { JoinWorker(); }

  void HandleMessage(const pp::Var& message) override {
    std::string type;
    pp::VarDictionary data;
    if (!CheckMessage(message, &type, &data)) return;
    if (type == "ping") {
      worker_loop().PostWork(factory_.NewCallback(&TestInstance::Ping, data), 0);
    } else {
      LogUnknownMessageType();
    }
  }

  // Runs |function| on the worker.
  void OnWorker(std::function<void()> function, int64_t delay_ms = 0) {
    worker_loop().PostWork(factory_.NewCallback(&TestInstance::Run, function), delay_ms);
  }

 private:
  void Ping(int32_t result, const pp::VarDictionary& data) {
    pp::VarDictionary reply;
    reply.Set(pp::Var("echo"), data);
    reply.Set(pp::Var("on_main"), pp::Var(pp::Module::Get()->core()->IsMainThread()));
    PostTypedMessage("ping", reply);
  }
  void Run(int32_t result, const std::function<void()>& function) { function(); }

  pp::CompletionCallbackFactory<TestInstance, pp::ThreadSafeThreadTraits> factory_;
};

class TestModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new TestInstance(instance);
  }
};

struct Dirs {
  std::string persistent = kelmora_test::MakeTempDir();
  std::string temporary = kelmora_test::MakeTempDir();
};

void UseTestModule(ChildSession& session, const std::string& persistent, const std::string& temporary) {
  session.browser().SetFileSystems(persistent, temporary);
  std::string error;
  if (!session.browser().UseModule(new TestModule(), &error)) session.Fail(error);
}

// The test module on both file systems, and one instance started.
PP_Instance StartOne(ChildSession& session, const Dirs& dirs) {
  UseTestModule(session, dirs.persistent, dirs.temporary);
  return session.Create();
}

TestInstance* Get(PP_Instance instance) {
  return static_cast<TestInstance*>(pp::Module::Get()->InstanceForPPInstance(instance));
}

// Runs the main loop until the instance's messages so far have arrived: a
// marker posted from the worker comes after everything the worker and the
// terminal sent before it.
void Settle(ChildSession& session, PP_Instance instance) {
  Get(instance)->OnWorker([instance] { Get(instance)->PostTypedMessage("settled", pp::Var(true)); });
  session.Await(instance, "settled");
}

TEST(WorkerBaseInstanceTest, StartUpLogsMountsAndForwardsTheTerminal) {
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    PP_Instance instance = StartOne(session, dirs);
    Settle(session, instance);
    // The mounts reach the host directories for every caller.
    FILE* file = fopen("/html5_persistent/out.txt", "w");
    if (!file) session.Fail("cannot write under /html5_persistent");
    fputs("persistent", file);
    fclose(file);
    file = fopen("/html5_temporary/out.txt", "w");
    if (!file) session.Fail("cannot write under /html5_temporary");
    fputs("temporary", file);
    fclose(file);
  });
  ASSERT_TRUE(result.Succeeded()) << result.Describe();
  std::vector<std::string> console = result.Console();
  ASSERT_FALSE(console.empty());
  EXPECT_EQ("LOG test:initializing worker module\n", console[0]);
  EXPECT_EQ(1u, console.size()) << result.Describe();
  // Both mounted: the start-up's only page message is the stack trace line.
  std::vector<Json::Value> messages = result.Messages();
  ASSERT_EQ(2u, messages.size()) << result.Describe();
  EXPECT_EQ("tty", messages[0]["type"].asString());
  EXPECT_EQ("Stack traces are available.\n", messages[0]["data"].asString());
  EXPECT_EQ("settled", messages[1]["type"].asString());
  EXPECT_EQ("persistent", kelmora_test::ReadFile(dirs.persistent + "/out.txt"));
  EXPECT_EQ("temporary", kelmora_test::ReadFile(dirs.temporary + "/out.txt"));
}

struct MountCase {
  bool persistent;
  bool temporary;
  const char* tty;    // expected "tty" line, or null
  const char* error;  // expected "error" message, or null
};

void PrintTo(const MountCase& c, std::ostream* out) {
  *out << (c.persistent ? "persistent" : "no persistent") << ", "
       << (c.temporary ? "temporary" : "no temporary");
}

class MountOutcomeTest : public testing::TestWithParam<MountCase> {};

TEST_P(MountOutcomeTest, ReportsWhatDidNotMount) {
  const MountCase& c = GetParam();
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    UseTestModule(session, c.persistent ? dirs.persistent : "", c.temporary ? dirs.temporary : "");
    PP_Instance instance = session.Create();
    Settle(session, instance);
  });
  ASSERT_TRUE(result.Succeeded()) << result.Describe();
  std::string tty = result.TtyText();
  std::vector<Json::Value> errors = result.MessagesOfType("error");
  const char* lines[] = {"persistent html5 filesystem is not available\n",
                         "temporary html5 filesystem is not available\n"};
  for (const char* line : lines) {
    bool expected = c.tty && std::string(c.tty) == line;
    EXPECT_EQ(expected, tty.find(line) != std::string::npos) << line << result.Describe();
  }
  if (c.error) {
    ASSERT_EQ(1u, errors.size()) << result.Describe();
    EXPECT_EQ(c.error, errors[0]["data"].asString());
    EXPECT_NE(std::string::npos,
              result.Console()[1].find(std::string("ERROR test:") + c.error));
  } else {
    EXPECT_TRUE(errors.empty()) << result.Describe();
  }
  // The start-up goes on whatever mounted.
  EXPECT_NE(std::string::npos, tty.find("Stack traces are available.\n"));
}

INSTANTIATE_TEST_SUITE_P(
    AllOutcomes, MountOutcomeTest,
    testing::Values(MountCase{true, true, nullptr, nullptr},
                    MountCase{false, true, "persistent html5 filesystem is not available\n",
                              nullptr},
                    MountCase{true, false, "temporary html5 filesystem is not available\n",
                              nullptr},
                    MountCase{false, false, nullptr, "failed to mount any html5 filesystem"}));

TEST(WorkerBaseInstanceTest, StdoutFollowsPsStdoutFromTheEnvironment) {
  std::string dir = kelmora_test::MakeTempDir();
  std::string path = dir + "/stdout.txt";
  ChildResult result = RunInChild([&](ChildSession& session) {
    setenv("PS_STDOUT", path.c_str(), 1);
    // The file must exist to be opened write-only.
    fclose(fopen(path.c_str(), "w"));
    UseTestModule(session, dir, dir);
    PP_Instance instance = session.Create();
    printf("to stdout\n");
    fprintf(stderr, "to stderr\n");
    Settle(session, instance);
  });
  ASSERT_TRUE(result.Succeeded()) << result.Describe();
  EXPECT_EQ("Stack traces are available.\nto stdout\n", kelmora_test::ReadFile(path));
  EXPECT_EQ("to stderr\n", result.TtyText()) << result.Describe();
}

TEST(WorkerBaseInstanceTest, TerminalWritesArriveAsTheyWereWritten) {
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    PP_Instance instance = StartOne(session, dirs);
    Settle(session, instance);
    if (write(1, "abc", 3) != 3) session.Fail("write failed");
    // Line-buffered: each line is flushed as one chunk.
    printf("first line\n");
    printf("second line\n");
    fprintf(stderr, "on stderr\n");
    // A write longer than one pipe packet still arrives whole and in order.
    std::string long_text(10000, 'x');
    long_text += "end\n";
    if (write(2, long_text.data(), long_text.size()) != static_cast<ssize_t>(long_text.size()))
      session.Fail("long write failed");
    Settle(session, instance);
  });
  ASSERT_TRUE(result.Succeeded()) << result.Describe();
  std::vector<Json::Value> tty = result.MessagesOfType("tty");
  ASSERT_GE(tty.size(), 5u);
  EXPECT_EQ("Stack traces are available.\n", tty[0]["data"].asString());
  EXPECT_EQ("abc", tty[1]["data"].asString());
  EXPECT_EQ("first line\n", tty[2]["data"].asString());
  EXPECT_EQ("second line\n", tty[3]["data"].asString());
  EXPECT_EQ("on stderr\n", tty[4]["data"].asString());
  std::string rest;
  for (size_t i = 5; i < tty.size(); ++i) rest += tty[i]["data"].asString();
  EXPECT_EQ(std::string(10000, 'x') + "end\n", rest);
}

TEST(WorkerBaseInstanceTest, EnvelopeAndLoggingForms) {
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    PP_Instance instance = StartOne(session, dirs);
    Get(instance)->OnWorker([instance] {
      TestInstance* self = Get(instance);
      self->Log("progress\n");
      self->LogError("out_of_disk_space");
      self->LogPepperError("GetFrame failed", -2);
      self->LogPepperError("video configure failed:", 7);
      self->LogPepperErrorToConsole("console only", -3);
      self->PostTypedMessage("start", pp::Var(false));
      pp::VarDictionary data;
      data.Set(pp::Var("state"), pp::Var("recording"));
      self->PostTypedMessage("state", data);
    });
    Settle(session, instance);
  });
  ASSERT_TRUE(result.Succeeded()) << result.Describe();
  std::vector<std::string> console = result.Console();
  ASSERT_EQ(6u, console.size()) << result.Describe();
  EXPECT_EQ("LOG test:progress\n", console[1]);
  EXPECT_EQ("ERROR test:out_of_disk_space", console[2]);
  EXPECT_EQ("ERROR test:GetFrame failed, pp_error: -2", console[3]);
  EXPECT_EQ("ERROR test:video configure failed:, pp_error: 7", console[4]);
  EXPECT_EQ("ERROR test:console only, pp_error: -3", console[5]);
  std::vector<Json::Value> messages = result.Messages();
  // The console-only line posts nothing.
  ASSERT_EQ(7u, messages.size()) << result.Describe();
  Json::Value expected;
  Json::Reader().parse(
      R"([{"type":"error","data":"out_of_disk_space"},
          {"type":"error","data":"GetFrame failed, pp_error: -2"},
          {"type":"error","data":"video configure failed:, pp_error: 7"},
          {"type":"start","data":false},
          {"type":"state","data":{"state":"recording"}}])",
      expected);
  for (Json::ArrayIndex i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i], messages[i + 1]) << i;
    // The envelope: "type" then "data", nothing else.
    EXPECT_EQ((std::vector<std::string>{"data", "type"}), messages[i + 1].getMemberNames());
  }
}

TEST(WorkerBaseInstanceTest, RejectsMalformedMessagesOnTheConsoleOnly) {
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    PP_Instance instance = StartOne(session, dirs);
    const char* messages[] = {
        R"("just a string")", R"(42)", R"({"type":"ping"})", R"({"type":"ping","data":"x"})",
        R"({"type":7,"data":{}})", R"({"type":"PING","data":{}})",
        R"({"type":"nothing","data":null})", R"({"type":"ping","data":{"n":1}})"};
    for (const char* text : messages) {
      Json::Value json;
      Json::Reader().parse(text, json);
      pp::Var var;
      std::string error;
      if (!pphost::JsonToVar(json, {}, &var, &error)) session.Fail(error);
      session.browser().PostToInstance(instance, var);
    }
    session.Await(instance, "ping");
    Settle(session, instance);
  });
  ASSERT_TRUE(result.Succeeded()) << result.Describe();
  std::vector<std::string> console = result.Console();
  std::vector<std::string> expected = {
      "LOG test:initializing worker module\n", "ERROR test:Got non-dict message",
      "ERROR test:Got non-dict message",        "ERROR test:Invalid message format",
      "ERROR test:Invalid message format",      "ERROR test:Invalid message format",
      "ERROR test:unknown message type",        "ERROR test:Invalid message format"};
  EXPECT_EQ(expected, console);
  // Only the well-formed command got an answer, from the worker thread.
  std::vector<Json::Value> pings = result.MessagesOfType("ping");
  ASSERT_EQ(1u, pings.size());
  EXPECT_EQ(1, pings[0]["data"]["echo"]["n"].asInt());
  EXPECT_FALSE(pings[0]["data"]["on_main"].asBool());
  EXPECT_TRUE(result.MessagesOfType("error").empty());
}

TEST(WorkerBaseInstanceTest, TwoInstancesHaveTheirOwnWorkers) {
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    UseTestModule(session, dirs.persistent, dirs.temporary);
    PP_Instance first = session.Create();
    PP_Instance second = session.Create();
    // The first worker waits for the second: one shared thread would hang.
    auto mutex = std::make_shared<std::mutex>();
    auto signal = std::make_shared<std::condition_variable>();
    auto released = std::make_shared<bool>(false);
    auto threads = std::make_shared<std::vector<pthread_t>>(2);
    Get(first)->OnWorker([=] {
      (*threads)[0] = pthread_self();
      std::unique_lock<std::mutex> lock(*mutex);
      bool ok = signal->wait_for(lock, std::chrono::seconds(60), [&] { return *released; });
      Get(first)->PostTypedMessage("first", pp::Var(ok));
    });
    Get(second)->OnWorker([=] {
      (*threads)[1] = pthread_self();
      std::lock_guard<std::mutex> lock(*mutex);
      *released = true;
      signal->notify_all();
    });
    pp::Var reply = session.Await(first, "first", 90000);
    if (!pp::VarDictionary(reply).Get(pp::Var("data")).AsBool())
      session.Fail("the first worker was not released");
    if (pthread_equal((*threads)[0], (*threads)[1])) session.Fail("one worker thread");
    if (pthread_equal((*threads)[0], pthread_self())) session.Fail("worker is main");
  });
  EXPECT_TRUE(result.Succeeded()) << result.Describe();
}

TEST(WorkerBaseInstanceTest, DestructionJoinsTheWorker) {
  Dirs dirs;
  static std::atomic<int> finished{0};
  static std::atomic<int> late{0};
  ChildResult result = RunInChild([&](ChildSession& session) {
    PP_Instance instance = StartOne(session, dirs);
    Get(instance)->OnWorker([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      finished = 1;
    });
    // Work due later is dropped with the worker's loop.
    Get(instance)->OnWorker([] { late = 1; }, 60000);
    auto start = std::chrono::steady_clock::now();
    session.browser().DestroyInstance(instance);
    if (finished != 1) session.Fail("destruction did not wait for the running work");
    if (late != 0) session.Fail("delayed work ran");
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(30))
      session.Fail("destruction waited for delayed work");
    // Output after the destruction reaches no instance.
    printf("after destruction\n");
    fflush(stdout);
  });
  ASSERT_TRUE(result.Succeeded()) << result.Describe();
  EXPECT_EQ(std::string::npos, result.TtyText().find("after destruction"));
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

// A page makes an instance per job; none may leave descriptors behind.
TEST(WorkerBaseInstanceTest, InstancesLeaveNoDescriptorsBehind) {
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    UseTestModule(session, dirs.persistent, dirs.temporary);
    // The first start-up makes the process-wide terminal.
    session.browser().DestroyInstance(session.Create());
    int before = OpenDescriptors();
    for (int i = 0; i < 3; ++i) session.browser().DestroyInstance(session.Create());
    int after = OpenDescriptors();
    if (after != before)
      session.Fail(std::to_string(before) + " descriptors before, " + std::to_string(after) + " after");
  });
  EXPECT_TRUE(result.Succeeded()) << result.Describe();
}

void CrashOnWorker(PP_Instance instance) {
  Get(instance)->OnWorker([] {
    // Not null: the undefined-behaviour checker would stop a null store
    // before it faults.
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
  });
}

TEST(WorkerBaseInstanceTest, CrashReportReachesThePageBeforeTheProcessDies) {
  Dirs dirs;
  ChildResult result = RunInChild([&](ChildSession& session) {
    PP_Instance instance = StartOne(session, dirs);
    CrashOnWorker(instance);
    session.browser().RunFor(60000);
    session.Fail("still alive");
  });
  EXPECT_EQ(SIGSEGV, result.term_signal) << result.Describe();
  std::vector<Json::Value> traces = result.MessagesOfType("stack_trace");
  ASSERT_EQ(1u, traces.size()) << result.Describe();
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(traces[0]["data"].asString(), report));
  EXPECT_EQ(SIGSEGV, report["signal"].asInt());
  EXPECT_EQ("SIGSEGV", report["name"].asString());
  EXPECT_EQ("0x10", report["address"].asString());
  EXPECT_GT(report["frames"].size(), 1u);
}

TEST(WorkerBaseInstanceTest, CrashReportsGoToTheLastStartedLiveInstance) {
  Dirs dirs;
  ChildResult to_second = RunInChild([&](ChildSession& session) {
    UseTestModule(session, dirs.persistent, dirs.temporary);
    PP_Instance first = session.Create();
    session.Create();
    CrashOnWorker(first);
    session.browser().RunFor(60000);
    session.Fail("still alive");
  });
  EXPECT_EQ(SIGSEGV, to_second.term_signal) << to_second.Describe();
  EXPECT_TRUE(to_second.MessagesOfType("stack_trace", 1).empty()) << to_second.Describe();
  EXPECT_EQ(1u, to_second.MessagesOfType("stack_trace", 2).size()) << to_second.Describe();

  // When the last one goes, the live one started before it takes over the
  // reports and the terminal; the second instance, started after it, stays
  // the one that gets them.
  ChildResult after_destroy = RunInChild([&](ChildSession& session) {
    UseTestModule(session, dirs.persistent, dirs.temporary);
    PP_Instance first = session.Create();
    PP_Instance second = session.Create();
    PP_Instance third = session.Create();
    session.browser().DestroyInstance(third);
    session.browser().DestroyInstance(first);
    Get(second)->OnWorker([] {
      printf("after the others\n");
      fflush(stdout);
    });
    Settle(session, second);
    CrashOnWorker(second);
    session.browser().RunFor(60000);
    session.Fail("still alive");
  });
  EXPECT_EQ(SIGSEGV, after_destroy.term_signal) << after_destroy.Describe();
  EXPECT_EQ(1u, after_destroy.MessagesOfType("stack_trace", 2).size()) << after_destroy.Describe();
  EXPECT_EQ(1u, after_destroy.MessagesOfType("stack_trace").size()) << after_destroy.Describe();
  EXPECT_NE(std::string::npos, after_destroy.TtyText(2).find("after the others\n"))
      << after_destroy.Describe();
}

}  // namespace
