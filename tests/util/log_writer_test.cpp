#include "util/log_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/debug_capture.h"

namespace wick {
namespace {

namespace fs = std::filesystem;

constexpr LocalTime kMarch5 = {.wYear = 2021,
                               .wMonth = 3,
                               .wDayOfWeek = 5,
                               .wDay = 5,
                               .wHour = 14,
                               .wMinute = 5,
                               .wSecond = 9,
                               .wMilliseconds = 42};
constexpr const char* kMarch5Stamp = "[2021-03-05 14:05:09:042] ";

// Each test works in its own temporary folder, removed afterwards, with the debug output captured.
class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "wicklog.XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static std::set<std::string> FileNames(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
  test::DebugCapture debug_;
};

TEST_F(LogWriterTest, StampFormat) {
  const struct {
    LocalTime t;
    const char* stamp;
  } cases[] = {
      {kMarch5, "2021-03-05 14:05:09:042"},
      {{999, 12, 0, 31, 23, 59, 59, 999}, "0999-12-31 23:59:59:999"},
      {{2000, 1, 6, 1, 0, 0, 0, 0}, "2000-01-01 00:00:00:000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatLogTime(c.t), c.stamp);
  }
}

TEST_F(LogWriterTest, UnknownModeReturnsMinusOneButTheFolderIsStillMade) {
  const fs::path folder = dir_ / "logs";
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteLogAt(kMarch5, folder.c_str(), "Tool", "hello", 4, 0), "-1");
  EXPECT_EQ(WriteLog(folder.c_str(), "Tool", "hello", 0xFFFFFFFFu, 0), "-1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(FileNames(folder).empty());
  EXPECT_EQ(debug_.Text(), "");
}

TEST_F(LogWriterTest, LinesAreAppendedInOrderToAnExistingFile) {
  const fs::path file = dir_ / "Tool.log";
  std::ofstream(file, std::ios::binary) << "earlier\r\n";
  const std::string first = std::string(kMarch5Stamp) + "Download start\r\n";
  const std::string second = std::string(kMarch5Stamp) + "Download end\r\n";

  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteLogAt(kMarch5, dir_.c_str(), "Tool", "Download start", 1, 0), first);
  EXPECT_EQ(WriteLogAt(kMarch5, dir_.c_str(), "Tool", "Download end", 1, 0), second);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), first + second);
  EXPECT_EQ(ReadFile(file), "earlier\r\n" + first + second);
  EXPECT_EQ(debug_.Text(), first + second);
}

TEST_F(LogWriterTest, EmptyOrNullTextGivesABareStamp) {
  const std::string bare = std::string(kMarch5Stamp) + "\r\n";
  EXPECT_EQ(WriteLogAt(kMarch5, dir_.c_str(), "Tool", "", 1, 1), bare);
  EXPECT_EQ(WriteLogAt(kMarch5, dir_.c_str(), "Tool", nullptr, 1, 1), bare);
  EXPECT_EQ(ReadFile(dir_ / "Tool.log"), bare + bare);
}

TEST_F(LogWriterTest, QuietKeepsStdoutSilentButNotTheDebugOutput) {
  const std::string line = std::string(kMarch5Stamp) + "quiet\r\n";
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteLogAt(kMarch5, dir_.c_str(), "Tool", "quiet", 1, 7), line);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(debug_.Text(), line);
  EXPECT_EQ(ReadFile(dir_ / "Tool.log"), line);
}

TEST_F(LogWriterTest, ModePicksTheFileName) {
  const struct {
    uint32_t mode;
    const char* name;
    const char* file;
  } cases[] = {
      {0, "Tool", "[Tool]20210305.log"},
      {1, "Tool", "Tool.log"},
      {1, nullptr, ".log"},
      {2, "Tool", "20210305.log"},
      {2, "no/such/folder", "20210305.log"},  // the name is not used at all
      {3, "Tool.txt", "Tool.txt"},
  };
  int caseNumber = 0;
  for (const auto& c : cases) {
    const fs::path folder = dir_ / std::to_string(caseNumber++);
    const std::string line = std::string(kMarch5Stamp) + "x\r\n";
    EXPECT_EQ(WriteLogAt(kMarch5, folder.c_str(), c.name, "x", c.mode, 1), line);
    EXPECT_EQ(FileNames(folder), std::set<std::string>{c.file}) << c.mode << " " << c.file;
    EXPECT_EQ(ReadFile(folder / c.file), line) << c.file;
  }
}

TEST_F(LogWriterTest, RealClockNamesTheDailyFileAndStampsTheLine) {
  const LocalTime before = GetLocalTime();
  const std::string line = WriteLog(dir_.c_str(), "Tool", "now", 2, 1);
  const LocalTime after = GetLocalTime();
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\] now\r\n)")))
      << line;
  auto dayFile = [](const LocalTime& t) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d%02d%02d.log", t.wYear, t.wMonth, t.wDay);
    return std::string(name);
  };
  // Around midnight the call may land on either day.
  const std::set<std::string> names = FileNames(dir_);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(*names.begin() == dayFile(before) || *names.begin() == dayFile(after))
      << *names.begin();
  EXPECT_EQ(ReadFile(dir_ / *names.begin()), line);
  EXPECT_GE(before.wMonth, 1);
  EXPECT_LE(before.wMonth, 12);
  EXPECT_LE(before.wMilliseconds, 999);
}

TEST_F(LogWriterTest, FileHeldByAnotherWriterIsLeftAlone) {
  const fs::path file = dir_ / "Tool.log";
  std::ofstream(file, std::ios::binary) << "held\r\n";
  const int holder = open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);

  const std::string line = std::string(kMarch5Stamp) + "blocked\r\n";
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteLogAt(kMarch5, dir_.c_str(), "Tool", "blocked", 1, 0), line);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(debug_.Text(), "");
  EXPECT_EQ(ReadFile(file), "held\r\n");

  // Once the holder lets go the same call goes through.
  flock(holder, LOCK_UN);
  close(holder);
  EXPECT_EQ(WriteLogAt(kMarch5, dir_.c_str(), "Tool", "blocked", 1, 1), line);
  EXPECT_EQ(ReadFile(file), "held\r\n" + line);
}

TEST_F(LogWriterTest, FolderThatCannotBeMadeWritesNothing) {
  // Only the last level is created, so a folder two levels down stays missing.
  const fs::path folder = dir_ / "missing" / "logs";
  const std::string line = std::string(kMarch5Stamp) + "lost\r\n";
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteLogAt(kMarch5, folder.c_str(), "Tool", "lost", 1, 0), line);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(debug_.Text(), "");
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(LogWriterTest, LongTextIsCutToTheLineBound) {
  const std::string stamp = kMarch5Stamp;
  // The stamp and the line end take 28 characters of the 5199.
  const struct {
    size_t textLength;
    size_t lineLength;
  } cases[] = {{5171, 5199}, {5172, 5199}, {6000, 5199}, {5170, 5198}};
  for (const auto& c : cases) {
    const std::string text(c.textLength, 'x');
    const fs::path folder = dir_ / std::to_string(c.textLength);
    const std::string line = WriteLogAt(kMarch5, folder.c_str(), "Tool", text.c_str(), 1, 1);
    EXPECT_EQ(line.size(), c.lineLength) << c.textLength;
    EXPECT_EQ(line, stamp + std::string(c.lineLength - 28, 'x') + "\r\n") << c.textLength;
    EXPECT_EQ(ReadFile(folder / "Tool.log"), line) << c.textLength;
  }
}

TEST_F(LogWriterTest, OverlongPathIsRefusedNotCut) {
  // Two long folder levels bring the path near the bound; the file name sets its exact length.
  const fs::path folder = dir_ / std::string(200, 'a') / std::string(200, 'b');
  fs::create_directories(folder);
  const size_t fixed = folder.string().size() + 1;
  ASSERT_LT(fixed, 519u);
  const std::string fits(519 - fixed, 'f');
  const std::string tooLong(520 - fixed, 'g');
  const std::string line = std::string(kMarch5Stamp) + "path\r\n";

  EXPECT_EQ(WriteLogAt(kMarch5, folder.c_str(), fits.c_str(), "path", 3, 1), line);
  EXPECT_EQ(ReadFile(folder / fits), line);
  EXPECT_EQ(debug_.Text(), line);

  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteLogAt(kMarch5, folder.c_str(), tooLong.c_str(), "path", 3, 0), line);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(debug_.Text(), line);  // nothing more than the first call's line
  EXPECT_EQ(FileNames(folder), std::set<std::string>{fits});
}

}  // namespace
}  // namespace wick
