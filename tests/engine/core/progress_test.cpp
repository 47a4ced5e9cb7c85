#include "engine/core/progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Call {
    uint32_t message, cancel, value, textMask, valueMask;
};

std::vector<Call> gCalls;
uint32_t gAnswer = 0;
uint32_t gNow = 100;

uint32_t Record(uint32_t message, uint8_t cancel, uint32_t value, uint32_t textMask,
                uint32_t valueMask) {
    gCalls.push_back({message, cancel, value, textMask, valueMask});
    return message == PROGRESS_MSG_POLL ? gAnswer : 0;
}

int Polls() {
    int n = 0;
    for (const Call& c : gCalls)
        n += c.message == PROGRESS_MSG_POLL;
    return n;
}

// A sink that records every message, and a root level, per test.
class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        gCalls.clear();
        gAnswer = 0;
        gNow = 100;
        Progress::SetClock([] { return gNow; });
        PROGRESS_INFO::MakeCurrent(&sink_);
        sink_.SetCallback(Record);
        sink_.SetLevels(3);
        root_ = new Progress;
    }
    void TearDown() override {
        delete root_;
        PROGRESS_INFO::ClearCancelRequest();
        PROGRESS_INFO::MakeCurrent(nullptr);
        Progress::SetClock(nullptr);
    }
    PROGRESS_INFO sink_;
    Progress* root_ = nullptr;
};

} // namespace

TEST_F(ProgressTest, ChildMapsIntoItsParentsShare) {
    root_->SetRange(20, 60);
    Progress child;
    EXPECT_EQ(child.GetParent(), root_);
    child.Update(50);
    EXPECT_EQ(root_->GetPosition(), 40u);
    child.Update(54);
    EXPECT_EQ(root_->GetPosition(), 41u); // 20 + 40 x 54 / 100
    child.Update(55);                     // below the step of 100 / 40 = 2 since the last change
    EXPECT_EQ(root_->GetPosition(), 41u);
    child.Update(56);
    EXPECT_EQ(root_->GetPosition(), 42u);
    child.Done();
    EXPECT_EQ(root_->GetPosition(), 60u);
}

TEST_F(ProgressTest, PercentNeverLeavesItsRange) {
    Progress level;
    level.SetRange(0, 50);
    level.Update(150); // more than 100 percent counts as 100
    EXPECT_EQ(level.GetPosition(), 50u);
    level.Update(10); // never decreases
    EXPECT_EQ(level.GetPosition(), 50u);
    level.UpdateCount(5, 0);
    EXPECT_EQ(level.GetPosition(), 50u);
    Progress big;
    big.UpdateCount(3000000000ull, 4000000000ull); // done x 100 passes 32 bits
    EXPECT_EQ(big.GetPosition(), 75u);
    Progress over;
    over.UpdateCount(150, 100);
    EXPECT_EQ(over.GetPosition(), 100u);
    Progress huge;
    huge.UpdateCount(UINT64_MAX / 2, UINT64_MAX);
    EXPECT_EQ(huge.GetPosition(), 50u);
}

TEST_F(ProgressTest, RangesAreCorrected) {
    Progress p;
    p.SetRange(50, 30);
    EXPECT_EQ(p.GetLow(), 50u);
    EXPECT_EQ(p.GetHigh(), 50u);
    p.SetRange(120, 130);
    EXPECT_EQ(p.GetLow(), 100u);
    EXPECT_EQ(p.GetHigh(), 100u);
    p.SetRange(10, 80);
    p.NextRange(50); // the old high 80 becomes the low; 50 would lie below it
    EXPECT_EQ(p.GetLow(), 80u);
    EXPECT_EQ(p.GetHigh(), 80u);
    p.NextRange(90);
    EXPECT_EQ(p.GetLow(), 80u);
    EXPECT_EQ(p.GetHigh(), 90u);
    p.NextRange(200);
    EXPECT_EQ(p.GetHigh(), 100u);
}

TEST_F(ProgressTest, CancelOnlyWhenAllowedAndSticky) {
    Progress level;
    gAnswer = PROGRESS_ANSWER_CANCEL;
    level.DisallowCancel();
    gNow += 5;
    EXPECT_EQ(level.CheckForUserInput(), KW_OK);
    Progress other;
    other.SetRange(0, 100);
    EXPECT_FALSE(other.CancelAllowed()); // inherited from its parent
    gAnswer = 0;

    root_->Update(1);
    gNow += 5;
    gAnswer = PROGRESS_ANSWER_CANCEL;
    EXPECT_EQ(root_->CheckForUserInput(), ERR_USER_CANCEL);
    gAnswer = 0;
    EXPECT_EQ(root_->Update(2), ERR_USER_CANCEL);
}

TEST_F(ProgressTest, SkipOnlyWhenAllowed) {
    Progress level;
    gAnswer = PROGRESS_ANSWER_SKIP;
    gNow += 5;
    EXPECT_EQ(level.CheckForUserInput(), KW_OK);
    level.AllowSkip(true);
    gNow += 5;
    EXPECT_EQ(level.CheckForUserInput(), ERR_USER_SKIP);
    gAnswer = 0;
    EXPECT_EQ(level.CheckForUserInput(), ERR_USER_SKIP);
}

TEST_F(ProgressTest, PollsAtMostEveryTwoSeconds) {
    Progress level;
    gNow = 200;
    level.Update(1);
    level.Update(2);
    EXPECT_EQ(Polls(), 1);
    gNow = 201;
    level.Update(3);
    EXPECT_EQ(Polls(), 1);
    gNow = 202;
    level.Update(4);
    EXPECT_EQ(Polls(), 2);
    gNow = 3; // a new hour began
    level.Update(5);
    EXPECT_EQ(Polls(), 3);
}

// The clock stands still, so no poll is due: a requested cancel is heard at
// the first progress call after it, on a level that allows it and while the
// engine preference allows it.
TEST_F(ProgressTest, RequestedCancelIsHeardAtTheNextCallWithoutAPoll) {
    {
        Progress level;
        level.DisallowCancel();
        PROGRESS_INFO::RequestCancel();
        EXPECT_EQ(level.Update(2), KW_OK);
    }
    PROGRESS_INFO::ClearCancelRequest();
    Progress copy;
    EXPECT_EQ(copy.Update(1), KW_OK); // a cleared request is not heard
    const int polls = Polls();        // the level's one poll in this second is past
    PROGRESS_INFO::RequestCancel();
    PROGRESS_INFO::SetCancelPreference([] { return false; });
    EXPECT_EQ(copy.Update(2), KW_OK);
    PROGRESS_INFO::SetCancelPreference(nullptr);
    EXPECT_EQ(copy.Update(2), ERR_USER_CANCEL); // no change of percent either
    EXPECT_EQ(Polls(), polls);
    PROGRESS_INFO::ClearCancelRequest();
    EXPECT_EQ(copy.CheckForUserInput(), ERR_USER_CANCEL); // a heard cancel stays
}

TEST_F(ProgressTest, NotificationsCarryTheLevelsWithText) {
    root_->SetText("Copying");
    Progress child;
    child.SetText("Partition 1");
    gCalls.clear();
    child.Update(30);
    ASSERT_FALSE(gCalls.empty());
    const Call& c = gCalls.front();
    EXPECT_EQ(c.message, PROGRESS_MSG_CHANGED);
    EXPECT_EQ(c.value, 2u);
    EXPECT_EQ(c.valueMask & 0x2, 0x2u);
    EXPECT_EQ(GetProgressPercent(0, 1), 30u);
    EXPECT_EQ(GetProgressPercent(0, 5), 0u);
}

TEST_F(ProgressTest, ParentDestroyedBeforeChildLeavesNoDanglingLevel) {
    auto* parent = new Progress;
    Progress child;
    delete parent; // the child is taken out of the chain, not freed
    EXPECT_EQ(root_->GetChild(), nullptr);
    child.Update(10); // still safe to use
    Progress next;
    EXPECT_EQ(next.GetParent(), root_);
}
