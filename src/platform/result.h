// What a step that can fail gives back: its value, or the failure that says why there is none.
//
// One shape for every failure a caller reports or passes on, so that a tool's answer, a page
// command's answer and a DevTools command's answer read the same way. Each thing has one
// spelling:
//
//   return value;                                   // success: a value converts to its Result
//   return fail("The folder " + shown + " does not exist.", ErrorKind::NotFound);
//
//   Result<fs::path> located = locate(name);
//   if (!located.ok()) return located.error();      // passing it on, to a Result of any type
//   use(located.value());
//
//   show(located.message());                        // its sentence, to show or to build on
//
// Only an Error becomes a failure, and only fail() makes one: a text converts to no failure, and
// error() gives the Error rather than its text, so a failure passed on stays a failure even in a
// function that gives a Result<std::string>, where a text would be taken for the value. A
// Result<void> succeeds with `return {};`.
//
// The text is for people: it is shown to the user or handed to the assistant as it stands, and
// no caller looks inside it. A caller that must act differently on why something failed branches
// on the kind; add a kind only when a caller branches on it, and give every other failure the
// default. Exceptions stay where a whole task unwinds (the top of a task, path resolution);
// everything a caller handles step by step is a Result.
#pragma once

#include <optional>
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

class Error;
inline Error fail(std::string message, ErrorKind kind = ErrorKind::Failed);

// A failure: the sentence for people and the kind for callers. Made only by fail().
class Error {
 public:
  const std::string& message() const { return message_; }
  ErrorKind kind() const { return kind_; }

 private:
  friend Error fail(std::string message, ErrorKind kind);
  Error(std::string message, ErrorKind kind) : message_(std::move(message)), kind_(kind) {}

  std::string message_;
  ErrorKind kind_;
};

// The failure of a step: `return fail("...");` from any function that gives a Result.
inline Error fail(std::string message, ErrorKind kind) {
  return Error(std::move(message), kind);
}

namespace detail {
// The message of a Result that is ok.
inline const std::string& no_message() {
  static const std::string empty;
  return empty;
}
}  // namespace detail

template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, Error>, "a Result holds a value or an Error, not an Error");

 public:
  // A value converts to a Result: `return value;`.
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  // So does a failure: `return fail("...");` or `return other.error();`.
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }

  // The value; only of a Result that is ok (anything else is a programming error).
  T& value() & { return std::get<0>(checked()); }
  const T& value() const& { return std::get<0>(checked()); }
  T&& value() && { return std::get<0>(std::move(checked())); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The failure, to pass on; only of a Result that is not ok.
  const Error& error() const {
    if (ok()) fatal("the error of a result that succeeded");
    return std::get<1>(state_);
  }
  // The failure's sentence and kind; empty and Failed when ok.
  const std::string& message() const {
    return ok() ? detail::no_message() : std::get<1>(state_).message();
  }
  ErrorKind kind() const { return ok() ? ErrorKind::Failed : std::get<1>(state_).kind(); }

 private:
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
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }

  const Error& error() const {
    if (ok()) fatal("the error of a result that succeeded");
    return *error_;
  }
  const std::string& message() const { return ok() ? detail::no_message() : error_->message(); }
  ErrorKind kind() const { return ok() ? ErrorKind::Failed : error_->kind(); }

 private:
  std::optional<Error> error_;
};

}  // namespace kavor
