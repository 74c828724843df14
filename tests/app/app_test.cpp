// The application shell: the switch scan on whole command lines, registration with the desktop
// under a temporary XDG_DATA_HOME, and the built program started as a child process.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "app/registration.h"
#include "app/tavloader_app.h"
#include "tests/support/engine_fixture.h"

namespace wick::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Registration = CTavLoaderModule::Registration;

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(FindSwitch, ReturnsThePositionAfterTheFirstCharacterOfTheSet) {
  const char* text = "/usr/bin/wickflash -x";
  EXPECT_EQ(CTavLoaderModule::FindSwitch(text, "-/"), text + 1);
  EXPECT_EQ(CTavLoaderModule::FindSwitch(text, "-"), text + 20);
  EXPECT_EQ(CTavLoaderModule::FindSwitch("wickflash", "-/"), nullptr);
  EXPECT_EQ(CTavLoaderModule::FindSwitch("", "-/"), nullptr);
  const char* last = "a-";
  EXPECT_EQ(CTavLoaderModule::FindSwitch(last, "-/"), last + 2);
}

TEST(CommandLine, IsTheProgramPathAndTheArgumentsJoinedBySingleSpaces) {
  EXPECT_EQ(BuildCommandLine({"/usr/bin/wickflash"}), "/usr/bin/wickflash");
  EXPECT_EQ(BuildCommandLine({"wickflash", "-RegServer"}), "wickflash -RegServer");
  EXPECT_EQ(BuildCommandLine({"wickflash", "-RegServer", ""}), "wickflash -RegServer ");
}

struct SwitchCase {
  const char* what;
  std::vector<std::string> args;
  Registration registration;
  bool embedded = false;
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
  *os << c.what;
}

class Switches : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(Switches, AreRecognisedOnlyWhenTheyEndTheLine) {
  const SwitchCase& c = GetParam();
  EXPECT_EQ(CTavLoaderModule::ScanForRegistration(BuildCommandLine(c.args)), c.registration);
  EXPECT_EQ(HasEmbeddingSwitch(c.args), c.embedded);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Switches,
    ::testing::Values(
        SwitchCase{"plain start", {"/usr/bin/wickflash"}, Registration::kNone, false},
        SwitchCase{"register", {"/usr/bin/wickflash", "-RegServer"}, Registration::kRegister},
        SwitchCase{
            "lower case after a slash", {"wickflash", "/regserver"}, Registration::kRegister},
        SwitchCase{
            "upper case after a hyphen", {"wickflash", "-REGSERVER"}, Registration::kRegister},
        SwitchCase{"unregister", {"wickflash", "/UnregServer"}, Registration::kUnregister},
        SwitchCase{
            "another argument after it", {"wickflash", "-RegServer", "x"}, Registration::kNone},
        SwitchCase{"a trailing space", {"wickflash", "-RegServer", ""}, Registration::kNone},
        SwitchCase{"unregister, then register",
                   {"wickflash", "/UnregServer", "/RegServer"},
                   Registration::kRegister},
        SwitchCase{"register, then unregister",
                   {"wickflash", "-RegServer", "-UnregServer"},
                   Registration::kUnregister},
        SwitchCase{"a path with hyphens",
                   {"/opt/wick-flash/wick-flash", "-UnregServer"},
                   Registration::kUnregister},
        SwitchCase{
            "a path with a hyphen, no switch", {"/opt/wick-flash/wickflash"}, Registration::kNone},
        SwitchCase{"no switch character", {"wickflash", "RegServer"}, Registration::kNone},
        SwitchCase{"embedding", {"wickflash", "-Embedding"}, Registration::kNone, true},
        SwitchCase{
            "automation in lower case", {"wickflash", "/automation"}, Registration::kNone, true},
        SwitchCase{"embedding among others",
                   {"wickflash", "x", "-embedding", "y"},
                   Registration::kNone,
                   true},
        SwitchCase{"embedding with more", {"wickflash", "-Embeddingx"}, Registration::kNone, false},
        SwitchCase{"the program's own path", {"-Embedding"}, Registration::kNone, false}),
    [](const auto& param) {
      std::string name;
      for (char ch : std::string(param.param.what)) {
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      }
      return name;
    });

// Registration under a data folder of the test's own.
class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_DATA_HOME");
    saved_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      setenv("XDG_DATA_HOME", saved_->c_str(), 1);
    } else {
      unsetenv("XDG_DATA_HOME");
    }
  }

  struct Outcome {
    int exitCode;
    bool windowShown;
    bool waited;
  };
  Outcome Start(std::vector<std::string> args) {
    Outcome out{-1, false, false};
    CTavLoaderApp app(
        std::move(args), "/opt/wickflash/bin/wickflash", [&] { out.windowShown = true; },
        [&] { out.waited = true; });
    out.exitCode = app.Run();
    EXPECT_FALSE(app.m_bComInited);
    return out;
  }

  std::string Entry() const { return dir_.path() + "/applications/wickflash.desktop"; }
  std::string Types() const { return dir_.path() + "/mime/packages/wickflash.xml"; }

  test::TempDir dir_;
  std::optional<std::string> saved_;
};

TEST_F(Shell, RegisterWritesTheDesktopEntryAndEndsWithoutAWindow) {
  Outcome out = Start({"wickflash", "-RegServer"});
  EXPECT_EQ(out.exitCode, 0);
  EXPECT_FALSE(out.windowShown);
  EXPECT_FALSE(out.waited);
  EXPECT_EQ(DesktopEntryPath(), Entry());
  std::string entry = ReadText(Entry());
  EXPECT_TRUE(entry.starts_with("[Desktop Entry]\nType=Application\n")) << entry;
  EXPECT_NE(entry.find("\nExec=/opt/wickflash/bin/wickflash\n"), std::string::npos);
  EXPECT_NE(entry.find(std::string("\nX-Wickflash-AppID=") + kAppId + "\n"), std::string::npos);
  EXPECT_NE(entry.find("MimeType=application/x-wickflash-tav;application/x-wickflash-exx;"
                       "application/x-wickflash-tvu;\n"),
            std::string::npos);
  std::string types = ReadText(Types());
  for (const char* glob : {"*.tav", "*.exx", "*.tvu"}) {
    EXPECT_NE(types.find(glob), std::string::npos) << glob;
  }
}

TEST_F(Shell, UnregisterRemovesTheEntryAndKeepsItsFolderAlsoWhenThereIsNothingToRemove) {
  Start({"wickflash", "/RegServer"});
  ASSERT_TRUE(fs::exists(Entry()));
  for (int round = 0; round < 2; ++round) {
    Outcome out = Start({"wickflash", "/unregserver"});
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_FALSE(out.windowShown);
    EXPECT_FALSE(fs::exists(Entry()));
    EXPECT_FALSE(fs::exists(Types()));
    EXPECT_TRUE(fs::is_directory(dir_.path() + "/applications"));
  }
}

TEST_F(Shell, ASwitchThatDoesNotEndTheLineShowsTheWindowAndWritesNothing) {
  for (auto args : {std::vector<std::string>{"wickflash", "-RegServer", "x"},
                    std::vector<std::string>{"wickflash", "-RegServer", ""},
                    std::vector<std::string>{"wickflash"}}) {
    Outcome out = Start(args);
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_TRUE(out.windowShown);
    EXPECT_FALSE(out.waited);
  }
  EXPECT_FALSE(fs::exists(dir_.path() + "/applications"));
}

TEST_F(Shell, AnEmbeddedStartShowsNothingAndWaitsForItsQuitMessage) {
  Outcome out = Start({"wickflash", "-Automation"});
  EXPECT_TRUE(out.waited);
  EXPECT_FALSE(out.windowShown);
  EXPECT_EQ(out.exitCode, 0);
}

TEST_F(Shell, RegistrationThatCannotWriteEndsTheSameWay) {
  // A file where the folder should be.
  std::ofstream(dir_.path() + "/applications") << "in the way";
  Outcome out = Start({"wickflash", "-RegServer"});
  EXPECT_EQ(out.exitCode, 0);
  EXPECT_FALSE(out.windowShown);
}

TEST(DataHome, FallsBackToTheHomeFolderWhenTheVariableIsUnsetOrRelative) {
  const char* old = std::getenv("XDG_DATA_HOME");
  std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(DataHome(), home + "/.local/share");
  setenv("XDG_DATA_HOME", "relative/share", 1);
  EXPECT_EQ(DataHome(), home + "/.local/share");
  if (saved) {
    setenv("XDG_DATA_HOME", saved->c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}

TEST(DesktopEntry, QuotesAPathThatNeedsIt) {
  EXPECT_NE(DesktopEntry("/opt/my tools/wickflash").find("\nExec=\"/opt/my tools/wickflash\"\n"),
            std::string::npos);
}

// --- The built program ---------------------------------------------------------------------------

class Program : public ::testing::Test {
 protected:
  pid_t Spawn(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
      setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      std::vector<char*> argv;
      std::string program = WICKFLASH_PROGRAM;
      argv.push_back(program.data());
      for (std::string& a : args) {
        argv.push_back(a.data());
      }
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }

  // The child's wait status once it ended, or -1 when it still runs after the limit.
  static int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        return status;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  test::TempDir dir_;
};

TEST_F(Program, RegistersAndUnregistersAndEndsWithoutAWindow) {
  int status = WaitFor(Spawn({"-RegServer"}), 10s);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string entry = ReadText(dir_.path() + "/applications/wickflash.desktop");
  EXPECT_NE(entry.find("\nExec=" + fs::canonical(WICKFLASH_PROGRAM).string() + "\n"),
            std::string::npos)
      << entry;
  status = WaitFor(Spawn({"/unregserver"}), 10s);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(dir_.path() + "/applications/wickflash.desktop"));
}

TEST_F(Program, AnEmbeddedStartRunsUntilSigterm) {
  pid_t pid = Spawn({"-Embedding"});
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitFor(pid, 700ms), -1) << "ended without being told to";
  kill(pid, SIGTERM);
  int status = WaitFor(pid, 5s);
  if (status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "still running after SIGTERM";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace wick::app
