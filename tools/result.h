// What a step of a run that can fail gives back: success, or the reason it failed, worded
// for the user.
#pragma once

#include <cassert>
#include <string>
#include <utility>

class [[nodiscard]] Result {
 public:
  static Result Success() { return Result(); }
  // REQUIRES: reason is not empty.
  static Result Failure(std::string reason) {
    assert(!reason.empty());
    return Result(std::move(reason));
  }
  // The outcome of a function that returns "" on success, else the reason.
  static Result FromReason(std::string reason) { return Result(std::move(reason)); }

  bool ok() const { return failure_.empty(); }
  // The reason the step failed; "" when it succeeded.
  const std::string& failure() const { return failure_; }

 private:
  Result() = default;
  explicit Result(std::string failure) : failure_(std::move(failure)) {}

  std::string failure_;
};
