#include "platform/result.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>

namespace kavor {
namespace result_test {
namespace {

// A text is no failure, and only fail() makes one: a function that gives a Result cannot hand
// back a failure's sentence where the failure belongs.
static_assert(!std::is_constructible_v<Error, std::string>);
static_assert(!std::is_constructible_v<Error, std::string, ErrorKind>);
static_assert(!std::is_constructible_v<Result<int>, std::string>);
static_assert(!std::is_constructible_v<Result<void>, std::string>);
static_assert(!std::is_constructible_v<Result<void>, const char*>);
// What error() gives is the Error itself, which no value converts from: `return other.error();`
// is a failure even in a function that gives a Result<std::string>, whose value a text would be.
static_assert(
    std::is_same_v<decltype(std::declval<const Result<std::string>&>().error()), const Error&>);
static_assert(std::is_same_v<decltype(std::declval<const Result<void>&>().error()), const Error&>);
static_assert(!std::is_convertible_v<const Error&, std::string>);

TEST(Result, AFailurePassedOnStaysAFailureWithItsSentenceAndKind) {
  const Result<int> located = fail("The folder /w does not exist.", ErrorKind::NotFound);
  const auto expect_located = [](const auto& passed, const char* type) {
    ASSERT_FALSE(passed.ok()) << type;
    EXPECT_EQ(passed.message(), "The folder /w does not exist.") << type;
    EXPECT_EQ(passed.error().message(), "The folder /w does not exist.") << type;
    EXPECT_EQ(passed.kind(), ErrorKind::NotFound) << type;
  };
  expect_located([&]() -> Result<std::string> { return located.error(); }(), "a text");
  expect_located([&]() -> Result<void> { return located.error(); }(), "nothing");
  expect_located([&]() -> Result<int> { return located.error(); }(), "a number");

  // A text returned plainly is a success: the value, no sentence, the default kind.
  const Result<std::string> found = std::string("The folder /w does not exist.");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value(), "The folder /w does not exist.");
  EXPECT_EQ(found.message(), "");
  EXPECT_EQ(found.kind(), ErrorKind::Failed);
  const Result<void> done = {};
  EXPECT_TRUE(done.ok());
  EXPECT_EQ(done.message(), "");
}

}  // namespace
}  // namespace result_test
}  // namespace kavor
