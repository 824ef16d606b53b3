#include "process/exe_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "base/exception.h"
#include "platform/process.h"
#include "platform/system_error.h"
#include "support/processes.h"
#include "support/stand_in.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr std::uint32_t kLongWait = 10000;

// Writes an executable /bin/sh script and returns its path.
std::string WriteScript(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir.Write(name, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  return path;
}

// A loop that ends once the file "gate" appears in the folder, or by itself
// after about ten seconds so that a failed test leaves nothing running.
std::string WaitForGate(const TempDir& dir) {
  return "i=0\nwhile [ ! -e '" + dir.Folder() + "gate' ] && [ $i -lt 500 ]; do\n" +
         "  sleep 0.02; i=$((i+1))\ndone\n";
}

// The stand-in program as `name` in `dir`, doing `steps`; its path.
std::string StandIn(const TempDir& dir, const std::string& name, const std::string& steps) {
  return testing::InstallStandIn(dir.Path(), name, steps);
}

// The stand-in waiting for the gate as WaitForGate does, then doing `then`.
std::string GatedStandIn(const TempDir& dir, const std::string& then = "") {
  return StandIn(dir, "gated.exe", "wait $dir/gate 10000\n" + then);
}

void OpenGate(const TempDir& dir) {
  dir.Write("gate", "");
}

bool WaitUntil(const std::function<bool()>& condition, int milliseconds = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The fields of /proc/<pid>/stat from the state on (field 3 at index 0);
// empty once the process has been reaped.
std::vector<std::string> StatFields(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string line;
  std::getline(in, line);
  const auto name_end = line.rfind(')');
  if (name_end == std::string::npos)
    return {};
  std::istringstream rest(line.substr(name_end + 1));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;)
    fields.push_back(field);
  return fields;
}

std::string PidText(std::int32_t pid) {
  return std::to_string(pid);
}

bool IsReaped(const std::string& pid) {
  return StatFields(pid).empty();
}

bool IsZombie(const std::string& pid) {
  const auto fields = StatFields(pid);
  return !fields.empty() && fields[0] == "Z";
}

bool IsAlive(const std::string& pid) {
  return !IsReaped(pid) && !IsZombie(pid);
}

// Running, not yet reaped where the system keeps ended children until then.
bool Exists(std::int32_t pid) {
  return testing::ProcessRuns(pid);
}

std::string RunAndCatch(TExeProcess& process, bool hide = true) {
  try {
    process.Run(hide, false);
  } catch (const Exception& error) {
    return error.Message();
  }
  return "no exception";
}

TEST(ExeProcessRun, NewObjectIsDetached) {
  TExeProcess process("/bin/true", "");
  EXPECT_FALSE(process.Runned());
  EXPECT_TRUE(process.WaitFor(kLongWait));
  EXPECT_EQ(process.ExitCode(), 0u);
  EXPECT_EQ(process.ProcessId(), 0);
  EXPECT_FALSE(process.TerminateOnDestroy());
}

TEST(ExeProcessRun, ExitCodeIsCollectedByFirstPollAfterTheEnd) {
  TempDir dir;
  const auto program = StandIn(dir, "exit.exe", "exit $1");
  for (const std::uint32_t code : {0u, 3u, 255u}) {
    TExeProcess process(program, std::to_string(code));
    process.SetExitCode(77);
    process.Run(true, false);
    EXPECT_EQ(process.ExitCode(), 0u);
    const std::int32_t pid = process.ProcessId();
    ASSERT_TRUE(WaitUntil([&] { return testing::ProcessEnded(pid); }));
    EXPECT_FALSE(process.Runned());
    EXPECT_EQ(process.ExitCode(), code);
    EXPECT_FALSE(Exists(pid));
    EXPECT_FALSE(process.Runned());
    EXPECT_EQ(process.ProcessId(), 0);
  }
}

TEST(ExeProcessRun, ProgramEndedBySignalReads128PlusSignal) {
  TempDir dir;
  TExeProcess process(WriteScript(dir, "self-kill.sh", "kill -TERM $$\nsleep 5\n"), "");
  process.Run(true, false);
  ASSERT_TRUE(process.WaitFor(kLongWait));
  EXPECT_EQ(process.ExitCode(), 128u + 15u);
}

TEST(ExeProcessRun, RunnedStaysTrueUntilTheProgramEnds) {
  TempDir dir;
  TExeProcess process(GatedStandIn(dir, "exit 6"), "");
  process.SetTerminateOnDestroy(true);
  process.Run(true, false);
  EXPECT_TRUE(process.Runned());
  EXPECT_FALSE(process.WaitFor(50));
  EXPECT_TRUE(process.Runned());
  OpenGate(dir);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(process.WaitFor(kLongWait));
  // It wakes when the program ends, not when the wait runs out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongWait / 2));
  EXPECT_FALSE(process.Runned());
  EXPECT_EQ(process.ExitCode(), 6u);
}

TEST(ExeProcessRun, DetachedObjectRunsAgain) {
  TempDir dir;
  TExeProcess process(StandIn(dir, "exit.exe", "exit $1"), "4");
  process.Run(true, false);
  ASSERT_TRUE(process.WaitFor(kLongWait));
  EXPECT_EQ(process.ExitCode(), 4u);
  process.SetParams("5");
  process.Run(true, false);
  EXPECT_EQ(process.ExitCode(), 0u);
  ASSERT_TRUE(process.WaitFor(kLongWait));
  EXPECT_EQ(process.ExitCode(), 5u);
}

TEST(ExeProcessRun, StartingTwiceRaisesAndKeepsTheFirstProgram) {
  TempDir dir;
  const auto program = GatedStandIn(dir);
  TExeProcess process(program, "");
  process.SetTerminateOnDestroy(true);
  process.Run(true, false);
  const auto first = process.ProcessId();
  EXPECT_EQ(RunAndCatch(process), "Процесс \"" + program + "\" уже запущен");
  EXPECT_TRUE(process.Runned());
  EXPECT_EQ(process.ProcessId(), first);
  EXPECT_TRUE(Exists(first));
  OpenGate(dir);
  EXPECT_TRUE(process.WaitFor(kLongWait));
}

TEST(ExeProcessRun, MissingProgramIsReportedByRun) {
  TempDir dir;
  const std::string missing = dir.Folder() + "no such program";
  TExeProcess process(missing, "a b");
  // Number 2 is a missing file on both systems, each with a text of its own.
  EXPECT_EQ(RunAndCatch(process),
            "System Error.  Code: 2.\r\n" + platform::SystemErrorText(2) + " " + missing);
  EXPECT_FALSE(process.Runned());
  EXPECT_EQ(process.ExitCode(), 0u);
}

TEST(ExeProcessRun, ProgramWithoutExecuteRightIsReportedByRun) {
  TempDir dir;
  const std::string plain = dir.Write("plain.sh", "#!/bin/sh\nexit 0\n");
  TExeProcess process(plain, "");
  EXPECT_EQ(RunAndCatch(process), "System Error.  Code: 13.\r\nPermission denied " + plain);
  EXPECT_FALSE(process.Runned());
}

TEST(ExeProcessTerminate, EndsASleepingProgramAndWhatItStarted) {
  TempDir dir;
  const auto script = WriteScript(dir, "sleeper.sh",
                                  "sleep 30 &\necho $! > '" + dir.Folder() + "sleep.pid'\nwait\n");
  for (const std::uint32_t code : {0u, 7u}) {
    std::remove((dir.Folder() + "sleep.pid").c_str());
    TExeProcess process(script, "");
    process.SetTerminateOnDestroy(true);
    process.Run(true, false);
    ASSERT_TRUE(WaitUntil([&] { return dir.Read("sleep.pid").ends_with("\n"); }));
    const std::string text = dir.Read("sleep.pid");
    const std::string sleeper = text.substr(0, text.size() - 1);
    process.Terminate(code);
    EXPECT_TRUE(process.WaitFor(kLongWait));
    EXPECT_FALSE(process.Runned());
    EXPECT_EQ(process.ExitCode(), code);
    EXPECT_TRUE(WaitUntil([&] { return !IsAlive(sleeper); }));
  }
}

TEST(ExeProcessTerminate, ProgramThatEndedByItselfKeepsItsExitCode) {
  TempDir dir;
  TExeProcess process(StandIn(dir, "exit.exe", "exit 2"), "");
  process.Run(true, false);
  const std::int32_t pid = process.ProcessId();
  ASSERT_TRUE(WaitUntil([&] { return testing::ProcessEnded(pid); }));
  process.Terminate(9);
  EXPECT_FALSE(process.Runned());
  EXPECT_EQ(process.ExitCode(), 2u);
  process.Terminate(9);
  EXPECT_EQ(process.ExitCode(), 2u);
}

class ExeProcessArguments : public ::testing::Test {
 protected:
  // Each argument in brackets on a line of its own.
  std::string Received(TExeProcess& process) {
    process.Run(true, false);
    EXPECT_TRUE(process.WaitFor(kLongWait));
    const std::string received = dir_.Read("args.txt");
    std::filesystem::remove(dir_.Path() / "args.txt");
    return received;
  }
  std::string Script(const std::string& name) {
    return testing::InstallStandIn((dir_.Path() / name).parent_path(),
                                   (dir_.Path() / name).filename().string(),
                                   "arguments \"" + dir_.Folder() + "args.txt\"");
  }
  TempDir dir_;
};

TEST_F(ExeProcessArguments, ParamsAreSplitAtBlanks) {
  TExeProcess process(Script("args.exe"), "  one  two\tthree ");
  EXPECT_EQ(Received(process), "[one]\n[two]\n[three]\n");
}

TEST_F(ExeProcessArguments, EmptyParamsGiveNoArgument) {
  TExeProcess process(Script("args.exe"), "");
  EXPECT_EQ(Received(process), "");
}

TEST_F(ExeProcessArguments, ArgumentListPassesBlanksUnchanged) {
  fs::create_directory(dir_.Path() / "with blank");
  const std::string program = Script("with blank/args script.exe");
  const std::string parameter_file = dir_.Folder() + "with blank/P 1.dat";
  TExeProcess process(program, std::vector<std::string>{parameter_file, "19000", ""});
  EXPECT_EQ(process.Params(), parameter_file + " 19000 ");
  EXPECT_EQ(Received(process), "[" + parameter_file + "]\n[19000]\n[]\n");
}

TEST_F(ExeProcessArguments, SettingParamsReplacesTheArgumentList) {
  TExeProcess process(Script("args.exe"), std::vector<std::string>{"a b"});
  process.SetParams("c d");
  EXPECT_EQ(Received(process), "[c]\n[d]\n");
  process.SetArguments({"e f"});
  EXPECT_EQ(Received(process), "[e f]\n");
}

// The descriptors the child sees, from `ls -l /proc/self/fd`: number to target.
std::map<int, std::string> ChildDescriptors(const TempDir& dir, bool hide) {
  const auto script = WriteScript(dir, "fds.sh", "exec ls -l /proc/self/fd > \"$1\"\n");
  TExeProcess process(script, std::vector<std::string>{dir.Folder() + "fds.txt"});
  process.Run(hide, false);
  EXPECT_TRUE(process.WaitFor(kLongWait));
  EXPECT_EQ(process.ExitCode(), 0u);
  std::map<int, std::string> descriptors;
  std::istringstream listing(dir.Read("fds.txt"));
  for (std::string line; std::getline(listing, line);) {
    const auto arrow = line.find(" -> ");
    if (arrow == std::string::npos)
      continue;
    const auto number = line.rfind(' ', arrow - 1) + 1;
    descriptors[std::stoi(line.substr(number, arrow - number))] = line.substr(arrow + 4);
  }
  return descriptors;
}

bool IsOwnListing(const std::string& target) {
  return target.starts_with("/proc/") && target.ends_with("/fd");
}

TEST(ExeProcessDescriptors, HiddenChildInheritsOnlyNullStandardStreams) {
  TempDir dir;
  // Opened without close-on-exec, as a careless caller might.
  std::FILE* held = std::fopen((dir.Folder() + "held.txt").c_str(), "w");
  ASSERT_NE(held, nullptr);
  TExeProcess running(WriteScript(dir, "gated.sh", WaitForGate(dir)), "");
  running.SetTerminateOnDestroy(true);
  running.Run(true, false);

  const auto descriptors = ChildDescriptors(dir, true);
  std::fclose(held);
  EXPECT_EQ(descriptors.at(0), "/dev/null");
  EXPECT_EQ(descriptors.at(1), dir.Folder() + "fds.txt");
  EXPECT_EQ(descriptors.at(2), "/dev/null");
  for (const auto& [number, target] : descriptors) {
    if (number > 2) {
      EXPECT_TRUE(IsOwnListing(target)) << number << " -> " << target;
    }
  }
  OpenGate(dir);
}

TEST(ExeProcessDescriptors, VisibleChildSharesTheStandardStreams) {
  TempDir dir;
  const auto descriptors = ChildDescriptors(dir, false);
  EXPECT_EQ(descriptors.at(0), fs::read_symlink("/proc/self/fd/0").string());
  EXPECT_EQ(descriptors.at(2), fs::read_symlink("/proc/self/fd/2").string());
  for (const auto& [number, target] : descriptors) {
    if (number > 2) {
      EXPECT_TRUE(IsOwnListing(target)) << number << " -> " << target;
    }
  }
}

TEST(ExeProcessReaping, FreedRunningProgramRunsOnAndIsReaped) {
  TempDir dir;
  std::int32_t pid = 0;
  {
    TExeProcess process(GatedStandIn(dir), "");
    process.Run(true, false);
    pid = process.ProcessId();
  }
  EXPECT_TRUE(Exists(pid));
  OpenGate(dir);
  EXPECT_TRUE(WaitUntil([&] { return !Exists(pid); }));
}

TEST(ExeProcessReaping, FreedObjectWithTerminateOnDestroyEndsItsProgram) {
  TempDir dir;
  std::int32_t pid = 0;
  {
    TExeProcess process(GatedStandIn(dir), "");
    process.SetTerminateOnDestroy(true);
    process.Run(true, false);
    pid = process.ProcessId();
  }
  EXPECT_TRUE(WaitUntil([&] { return !Exists(pid); }));
}

TEST(ExeProcessReaping, RunFileReturnsWhileTheProgramRuns) {
  TempDir dir;
  const auto program = StandIn(dir, "started.exe", "pid $1\nwait $dir/gate 10000");
  TExeProcess::RunFile(program, dir.Folder() + "started.pid");
  ASSERT_TRUE(WaitUntil([&] { return !dir.Read("started.pid").empty(); }));
  const std::int32_t pid = std::stoi(dir.Read("started.pid"));
  EXPECT_TRUE(Exists(pid));
  OpenGate(dir);
  EXPECT_TRUE(WaitUntil([&] { return !Exists(pid); }));
}

TEST(ExeProcessReaping, ObjectsOnSeveralThreadsRunTheirOwnPrograms) {
  TempDir dir;
  const auto program = StandIn(dir, "exit.exe", "exit $1");
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&program, thread] {
      for (int round = 0; round < 5; ++round) {
        const std::uint32_t code = static_cast<std::uint32_t>(10 * thread + round);
        TExeProcess process(program, std::to_string(code));
        process.Run(true, false);
        EXPECT_TRUE(process.WaitFor(kLongWait));
        EXPECT_EQ(process.ExitCode(), code);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
}

TEST(ExeProcessSelf, TerminateSelfEndsTheProcessAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(TExeProcess::TerminateSelf(5), ::testing::ExitedWithCode(5), "");
}

TEST(ExeProcessPriority, IdleClassAndIdleMainThreadReachTheProgram) {
  TempDir dir;
  TExeProcess process(GatedStandIn(dir), "");
  process.SetTerminateOnDestroy(true);
  process.Run(true, false);
  const std::int32_t pid = process.ProcessId();
  process.SetPriorityClass(TProcessPriority::ppcIdle);
  EXPECT_EQ(testing::PriorityOf(pid).process, testing::IdlePriority().process);
  process.SetThreadPriorityIdle();
  EXPECT_EQ(testing::PriorityOf(pid).main_thread, testing::IdlePriority().main_thread);
  OpenGate(dir);
  EXPECT_TRUE(process.WaitFor(kLongWait));
}

TEST(ExeProcessPriority, DetachedObjectLeavesThisProcessAlone) {
  const std::int32_t self = platform::CurrentProcessId();
  const testing::Priority own = testing::PriorityOf(self);
  TExeProcess process("/bin/true", "");
  process.SetPriorityClass(TProcessPriority::ppcIdle);
  process.SetThreadPriorityIdle();
  EXPECT_EQ(testing::PriorityOf(self).process, own.process);
  EXPECT_EQ(testing::PriorityOf(self).main_thread, own.main_thread);
  // Else the calls could not show that they leave it alone.
  EXPECT_NE(own.process, testing::IdlePriority().process);
  EXPECT_NE(own.main_thread, testing::IdlePriority().main_thread);
}

TEST(ExeProcessUnsupported, SessionAndMachineEndsRaiseTheirFirstStep) {
  for (const auto action : {TExitWindowsAction::ewLogoff, TExitWindowsAction::ewReboot,
                            TExitWindowsAction::ewShutdown}) {
    EXPECT_THROW(
        {
          try {
            TExeProcess::ExitWindows(action, true);
          } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), "OpenProcessToken");
            throw;
          }
        },
        Exception);
  }
  EXPECT_THROW(TExeProcess::RebootWindows(false), Exception);
  EXPECT_THROW(TExeProcess::ShutdownWindows(false), Exception);
}

TEST(ExeProcessUnsupported, WindowHandleRaisesAndGivesUpTheProgram) {
  TempDir dir;
  TExeProcess process(WriteScript(dir, "gated.sh", WaitForGate(dir)), "");
  process.Run(true, false);
  const std::string pid = PidText(process.ProcessId());
  std::string message;
  try {
    process.ConnectToProcessByWinHandle(0x1234);
  } catch (const Exception& error) {
    message = error.Message();
  }
  EXPECT_EQ(message, "System Error.  Code: 38.\r\nFunction not implemented");
  EXPECT_FALSE(process.Runned());
  EXPECT_TRUE(IsAlive(pid));
  OpenGate(dir);
  EXPECT_TRUE(WaitUntil([&] { return IsReaped(pid); }));
}

}  // namespace
}  // namespace kestrel
