#include "process/descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

namespace {

bool CloseOnExec(int fd) {
  return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// With standard input closed, pipe() hands out 0; a child that then moves another pipe onto
// 0 would lose this one.
TEST(OpenPipeTest, EndsLandAboveAClosedStandardStreamAndCloseOnExec) {
  const int saved_input = dup(0);
  ASSERT_GE(saved_input, 0);
  close(0);
  int fds[2];
  const bool opened = OpenPipe(fds);
  dup2(saved_input, 0);
  close(saved_input);
  ASSERT_TRUE(opened);
  EXPECT_GT(fds[0], 2);
  EXPECT_GT(fds[1], 2);
  EXPECT_TRUE(CloseOnExec(fds[0]));
  EXPECT_TRUE(CloseOnExec(fds[1]));
  close(fds[0]);
  close(fds[1]);
}

TEST(ReadAllTest, TakesExactlyTheBytesAskedForAndFailsWhenThePipeEndsFirst) {
  int fds[2];
  ASSERT_TRUE(OpenPipe(fds));
  const char sent[] = "abcdef";
  ASSERT_TRUE(WriteAll(fds[1], sent, 6));
  close(fds[1]);
  char got[4] = {};
  EXPECT_TRUE(ReadAll(fds[0], got, 4));
  EXPECT_EQ(memcmp(got, "abcd", 4), 0);
  // Two bytes are left, and no writer.
  EXPECT_FALSE(ReadAll(fds[0], got, 4));
  close(fds[0]);
}

}  // namespace
