// What a step that can fail gives back: its value, or the sentence that says why there is none.
//
// One shape for every failure a caller reports or passes on, so that a tool's answer, a page
// command's answer and a DevTools command's answer read the same way:
//
//   Result<fs::path> located = locate(name);
//   if (!located.ok()) return located.error();     // an Error converts to any Result<U>
//   use(located.value());
//
//   return fail("The folder " + shown + " does not exist.", ErrorKind::NotFound);
//
// The text is for people: it is shown to the user or handed to the assistant as it stands, and
// no caller looks inside it. A caller that must act differently on why something failed branches
// on the kind; add a kind only when a caller branches on it, and give every other failure the
// default. Exceptions stay where a whole task unwinds (the top of a task, path resolution);
// everything a caller handles step by step is a Result.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/fatal.h"

namespace kavor {

// Why a step failed, where a caller acts on it.
enum class ErrorKind {
  Failed,     // anything a caller only reports
  NotFound,   // what was named does not exist (a project without its folder is told apart)
  NoProgram,  // the program to start is not installed or not on PATH
  TimedOut,   // no answer within the limit; what was asked may still be under way
};

struct Error {
  std::string text;
  ErrorKind kind = ErrorKind::Failed;
};

// The failure of a step: `return fail("...");` from any function that gives a Result.
inline Error fail(std::string text, ErrorKind kind = ErrorKind::Failed) {
  return Error{std::move(text), kind};
}

template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, Error>, "a Result holds a value or an Error, not an Error");

 public:
  // A value converts to a Result: `return value;`.
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  // So does a failure: `return fail("...");` or `return other.error_value();`.
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  static Result success(T value = T()) { return Result(std::move(value)); }
  static Result failure(std::string text, ErrorKind kind = ErrorKind::Failed) {
    return Result(Error{std::move(text), kind});
  }

  bool ok() const { return state_.index() == 0; }

  // The value; only of a Result that is ok (anything else is a programming error).
  T& value() & { return std::get<0>(checked()); }
  const T& value() const& { return std::get<0>(checked()); }
  T&& value() && { return std::get<0>(std::move(checked())); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The failure's text; empty when ok.
  const std::string& error() const { return ok() ? empty_text() : std::get<1>(state_).text; }
  ErrorKind kind() const { return ok() ? ErrorKind::Failed : std::get<1>(state_).kind; }
  // The whole failure, to pass on as the failure of another Result; only when not ok.
  const Error& error_value() const {
    if (ok()) fatal("the error of a result that succeeded");
    return std::get<1>(state_);
  }

 private:
  static const std::string& empty_text() {
    static const std::string empty;
    return empty;
  }
  std::variant<T, Error>& checked() {
    if (!ok()) fatal("the value of a result that failed");
    return state_;
  }
  const std::variant<T, Error>& checked() const {
    if (!ok()) fatal("the value of a result that failed");
    return state_;
  }

  std::variant<T, Error> state_;
};

// A step that gives nothing but may fail: `return {};` when it went well.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  static Result success() { return Result(); }
  static Result failure(std::string text, ErrorKind kind = ErrorKind::Failed) {
    return Result(Error{std::move(text), kind});
  }

  bool ok() const { return !failed_; }
  const std::string& error() const { return error_.text; }
  ErrorKind kind() const { return error_.kind; }
  const Error& error_value() const {
    if (ok()) fatal("the error of a result that succeeded");
    return error_;
  }

 private:
  Error error_;
  bool failed_ = false;
};

}  // namespace kavor
