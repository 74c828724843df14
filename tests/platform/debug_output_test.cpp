#include "platform/debug_output.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/debug_capture.h"

namespace wick::platform {
namespace {

TEST(DebugOutput, GoesToThePluggedSinkAndTheSinkIsRestored) {
  std::string outer;
  DebugSink previous = SetDebugSink([&](std::string_view t) { outer.append(t); });
  {
    test::DebugCapture capture;
    DebugOutput("Get configuration port has problem.\r\n");
    DebugTrace("%08x, %d \n", 0x2000, 8192);
    EXPECT_EQ(capture.Text(), "Get configuration port has problem.\r\n00002000, 8192 \n");
  }
  DebugOutput("after");
  EXPECT_EQ(outer, "after");
  SetDebugSink(std::move(previous));
}

TEST(DebugOutput, ALongTraceLineIsCutNotOverrun) {
  test::DebugCapture capture;
  std::string longText(2000, 'x');
  DebugTrace("%s", longText.c_str());
  EXPECT_EQ(capture.Text(), std::string(511, 'x'));
}

}  // namespace
}  // namespace wick::platform
