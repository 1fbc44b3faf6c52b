// Shared by the tests: a fresh StringStack per test, live-heap accounting for leak checks of
// containers, readable strings and environment changes undone at the end of a test.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/string_stack.h"
#include "runtime/structure_descriptor.h"

// Every test starts on an empty StringStack with no marks and frees it afterwards.
class FreshStringStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreeStringStack();
    InitStringStack();
    StringMarkDepth = 0;
  }
  void TearDown() override { FreeStringStack(); }
};

// Live heap bytes as the sanitizer allocator counts them; the test runs build with one.
// Blocks made by an operation show here until they are freed, so a sequence that should
// release everything it made has to end where it began. glibc's own statistics count blocks
// parked in its caches as live, so a build without a sanitizer has nothing exact to compare
// and these checks hold trivially there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
inline constexpr bool kHeapCounted = true;
inline int64_t LiveHeapBytes() {
  return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
}
#else
inline constexpr bool kHeapCounted = false;
inline int64_t LiveHeapBytes() {
  return 0;
}
#endif

// A value with two managed strings around plain data, for the container tests.
struct Record {
  char16_t* name;
  int64_t number;
  char16_t* note;
};
inline const StructureDescriptor kRecordDescriptor[] = {offsetof(Record, name),
                                                        offsetof(Record, note), DescEnd};

// A runtime string as a comparable value; null reads as "".
inline std::u16string Text(const char16_t* s) {
  return s == nullptr ? u"" : s;
}

// Restores an environment variable when the test leaves.
class EnvironmentChange {
 public:
  // A null value unsets the variable for the test.
  EnvironmentChange(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }
  ~EnvironmentChange() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

  EnvironmentChange(const EnvironmentChange&) = delete;
  EnvironmentChange& operator=(const EnvironmentChange&) = delete;

 private:
  const char* name_;
  bool had_;
  std::string old_;
};
