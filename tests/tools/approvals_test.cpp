#include "tools/approvals.h"

#include <gtest/gtest.h>

namespace kavor::tools {
namespace approvals_test {
namespace {

CallInfo call(ToolKind kind, bool outside = false, bool memory = false) {
  CallInfo info;
  info.kind = kind;
  info.outside = outside;
  info.memory = memory;
  return info;
}

TEST(ApprovalTable, EachModeRunsRefusesOrAsksAsTheUserChose) {
  using enum Verdict;
  const auto R = ToolKind::Read, W = ToolKind::Write, X = ToolKind::Exec;
  // mode, kind, outside, always-allowed -> verdict
  const struct {
    Mode mode;
    ToolKind kind;
    bool outside;
    bool always;
    Verdict expected;
  } cases[] = {
      {Mode::Ask, R, false, false, Run},        {Mode::Ask, W, false, false, Ask},
      {Mode::Ask, X, false, true, Run},         {Mode::Ask, X, true, true, Ask},
      {Mode::Ask, R, true, false, Ask},         {Mode::Auto, W, false, false, Run},
      {Mode::Auto, X, false, false, Run},       {Mode::Auto, R, true, false, Ask},
      {Mode::Readonly, R, false, false, Run},   {Mode::Readonly, R, true, false, Ask},
      {Mode::Readonly, W, false, true, Refuse}, {Mode::Readonly, X, true, false, Refuse},
      {Mode::Everything, X, true, false, Run},  {Mode::Everything, W, true, false, Run},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decide(c.mode, call(c.kind, c.outside), c.always), c.expected)
        << static_cast<int>(c.mode) << " " << kind_name(c.kind) << " outside=" << c.outside;
  }
  // Memory writes: at once everywhere except read-only, where they ask.
  for (Mode m : {Mode::Ask, Mode::Auto, Mode::Everything}) {
    EXPECT_EQ(decide(m, call(W, false, true), false), Run);
  }
  EXPECT_EQ(decide(Mode::Readonly, call(W, false, true), false), Ask);
}

// A docker call or a wsl command runs where the fence does not reach: whatever its text, only
// the user's "always" for its tool lets it run unasked, and never outside the workspace.
TEST(ApprovalTable, ACommandTheFenceDoesNotReachAsksUnlessItsToolIsAlwaysAllowed) {
  using enum Verdict;
  CallInfo unfenced = call(ToolKind::Exec);
  unfenced.unfenced = true;
  CallInfo unfenced_outside = unfenced;
  unfenced_outside.outside = true;
  // mode -> verdict asked alone, once always allowed, always allowed but outside
  const struct {
    Mode mode;
    Verdict alone, always, always_outside;
  } cases[] = {
      {Mode::Ask, Ask, Run, Ask},
      {Mode::Auto, Ask, Run, Ask},
      {Mode::Readonly, Refuse, Refuse, Refuse},
      {Mode::Everything, Run, Run, Run},
  };
  for (const auto& c : cases) {
    const int m = static_cast<int>(c.mode);
    EXPECT_EQ(decide(c.mode, unfenced, false), c.alone) << m;
    EXPECT_EQ(decide(c.mode, unfenced, true), c.always) << m;
    EXPECT_EQ(decide(c.mode, unfenced_outside, true), c.always_outside) << m;
  }
}

TEST(ApprovalTable, ModesAndAnswersParseOnlyTheirOwnWords) {
  EXPECT_EQ(parse_mode("readonly"), Mode::Readonly);
  EXPECT_EQ(parse_mode("Ask"), std::nullopt);
  EXPECT_EQ(parse_answer("always"), Answer::Always);
  EXPECT_EQ(parse_answer("yes"), std::nullopt);
  Approvals approvals;
  EXPECT_EQ(approvals.mode("new chat"), Mode::Ask);
  approvals.set_mode("c", Mode::Auto);
  EXPECT_EQ(approvals.mode("c"), Mode::Auto);
  EXPECT_FALSE(approvals.decide_call("nobody", Answer::Allow));
  EXPECT_FALSE(approvals.stop("nobody"));
  const auto ticket = approvals.admit("c1");
  ASSERT_TRUE(ticket);
  EXPECT_FALSE(approvals.admit("c1"));  // the id is live
  const common::StopFlag flag = approvals.add_stop_flag(*ticket);
  EXPECT_TRUE(approvals.stop("c1"));
  EXPECT_TRUE(flag->load());
  approvals.remove_stop_flag(*ticket);
  EXPECT_FALSE(approvals.stop("c1"));
  approvals.release(*ticket);
  // A stop between admission and the flag: the flag is made already set, once.
  const auto early = approvals.admit("c1");
  ASSERT_TRUE(early);
  EXPECT_TRUE(approvals.stop("c1"));
  EXPECT_TRUE(approvals.add_stop_flag(*early)->load());
  approvals.remove_stop_flag(*early);
  approvals.release(*early);
  const auto later = approvals.admit("c1");
  ASSERT_TRUE(later);
  EXPECT_FALSE(approvals.add_stop_flag(*later)->load());
}

}  // namespace
}  // namespace approvals_test
}  // namespace kavor::tools
