#include "engine/core/kwerror.h"

#include <gtest/gtest.h>

namespace {

// The user interface stand-in: sets every error's status to the given answer.
std::uint32_t gAnswer = 0;
int gPresented = 0;

kwRet Present(KWERRORHANDLE handle) {
    ++gPresented;
    *HandleToError(handle)->Status() = gAnswer;
    return KW_OK;
}

class ErrorMgrTest : public ::testing::Test {
protected:
    ErrorMgrTest() {
        gAnswer = 0;
        gPresented = 0;
        kwSetErrorPresenter(Present);
    }
    ~ErrorMgrTest() override { kwSetErrorPresenter(nullptr); }
};

TEST_F(ErrorMgrTest, CountedErrorsStopAtTheMaximum) {
    KWERRORMGR mgr(KWLIST_UNLIMITED, KWERR_CLASS_STOP, 2);
    // Class 0 is never counted; an unresolved class-128 error gives 7.
    EXPECT_EQ(LogEngineError(&mgr, 100, 0), KW_OK);
    EXPECT_EQ(LogEngineError(&mgr, 100, KWERR_CLASS_STOP), ERR_USER_CANCEL);
    EXPECT_EQ(mgr.CountedErrors(), 1u);
    // The second reaches the maximum: refused from now on.
    EXPECT_EQ(LogEngineError(&mgr, 101, KWERR_CLASS_STOP), ERR_USER_CANCEL);
    EXPECT_EQ(gPresented, 3);
    EXPECT_EQ(LogEngineError(&mgr, 102, KWERR_CLASS_STOP), ERR_TOO_MANY_ERRORS);
    EXPECT_EQ(gPresented, 3); // never reached the user interface
    // Errors that are not counted still go in, but the caller hears that the
    // manager has reached its limit.
    EXPECT_EQ(LogEngineError(&mgr, 103, 0), ERR_TOO_MANY_ERRORS);
    EXPECT_EQ(gPresented, 4);
    EXPECT_EQ(mgr.Count(), 4u);
    // A resolved error is not counted.
    mgr.Clear();
    gAnswer = 1;
    EXPECT_EQ(LogEngineError(&mgr, 104, KWERR_CLASS_STOP), KW_OK);
    EXPECT_EQ(mgr.CountedErrors(), 0u);
}

TEST_F(ErrorMgrTest, ListLimitOfTheEngineManager) {
    KWERRORMGR mgr(2, 0xFFFFFFFFu, 0xFFFFFFFFu);
    gAnswer = 1;
    EXPECT_EQ(LogEngineError(&mgr, 1, 0), KW_OK);
    EXPECT_EQ(LogEngineError(&mgr, 2, 0), ERR_TOO_MANY_ERRORS); // now full
    EXPECT_EQ(LogEngineError(&mgr, 3, 0), ERR_TOO_MANY_ERRORS);
    EXPECT_EQ(mgr.Count(), 2u);
    EXPECT_EQ(mgr.At(1)->Code(), 2u);
}

TEST_F(ErrorMgrTest, InvalidArgumentsAndOwnership) {
    KWERRORMGR mgr(KWLIST_UNLIMITED, KWERR_CLASS_STOP, KWLIST_UNLIMITED);
    KWERROR* none = nullptr;
    EXPECT_EQ(LogError(&mgr, &none), ERR_BAD_ARGUMENT);
    EXPECT_EQ(LogError(&mgr, nullptr), ERR_BAD_ARGUMENT);
    KWERROR* e = new KWLOGERROR(5, 0);
    EXPECT_EQ(LogError(nullptr, &e), ERR_BAD_ARGUMENT);
    EXPECT_EQ(e, nullptr); // taken (and destroyed) in every case
    e = new KWLOGERROR(5, 0, 42);
    KWERRORHANDLE h = 0;
    EXPECT_EQ(LogError(&mgr, &e, &h), KW_OK);
    EXPECT_EQ(e, nullptr);
    KWERROR* logged = HandleToError(h);
    EXPECT_EQ(logged->Manager(), &mgr);
    EXPECT_EQ(logged->Detail(0), 42u);
    std::uint32_t out = 9;
    EXPECT_EQ(logged->ResolveError(&out), 1u);
    EXPECT_EQ(out, 0u);
}

TEST_F(ErrorMgrTest, ReportedErrors) {
    KWERRORMGR mgr(KWLIST_UNLIMITED, KWERR_CLASS_STOP, KWLIST_UNLIMITED);
    KWERRORHANDLE h = 0;
    // Left unresolved by the user interface: 7.
    EXPECT_EQ(ReportEngineError2(&mgr, 1, KWERR_KIND_FIX, 2001, 0, 10, 20, &h), ERR_USER_CANCEL);
    KWERROR* e = HandleToError(h);
    EXPECT_EQ(e->Detail(0), 10u);
    EXPECT_EQ(e->Detail(1), 20u);
    EXPECT_EQ(e->Details().GetCount(), 2u);
    EXPECT_EQ(*e->Answer(), 1u);
    std::uint32_t out = 0;
    EXPECT_EQ(e->ResolveError(&out), 0u);
    EXPECT_EQ(*e->Status(), 1u);
    // Fix kind other than 1: the error cannot fix itself.
    EXPECT_EQ(ReportEngineError(&mgr, 0, KWERR_KIND_FIX, 2002, 0, &h), ERR_USER_CANCEL);
    EXPECT_EQ(HandleToError(h)->ResolveError(nullptr), 1u);
    EXPECT_EQ(*HandleToError(h)->Status(), 0u);
    // Resolved by the user interface; no handle asked for.
    gAnswer = 1;
    EXPECT_EQ(ReportEngineError1(&mgr, 0, 3, 2003, 0, 5), KW_OK);
    KWERRORHANDLER handler(ErrorToHandle(mgr.At(2)));
    EXPECT_EQ(*ErrorStatusFromHandle(&handler), 1u);
}

TEST(ErrorHandle, RoundTrip) {
    for (std::uintptr_t p : {std::uintptr_t{0}, std::uintptr_t{8}, std::uintptr_t{0x1234567},
                             ~std::uintptr_t{0}, std::uintptr_t{1} << 63})
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(
                      HandleToError(ErrorToHandle(reinterpret_cast<const KWERROR*>(p)))),
                  p);
}

TEST(ErrorDetails, OutOfMemoryLeavesAValidErrorWithoutDetails) {
    kwInjectAllocFailure(2); // the error itself, then the first detail fails
    auto* e = new ENGINE_FIX_ERROR(1, 7, 0, 1, 2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Details().GetCount(), 0u);
    delete e;
    kwInjectAllocFailure(1);
    KWERRORMGR mgr(KWLIST_UNLIMITED, KWERR_CLASS_STOP, KWLIST_UNLIMITED);
    EXPECT_EQ(LogEngineError(&mgr, 1, 0), ERR_NO_MEMORY);
    EXPECT_EQ(mgr.Count(), 0u);
}

} // namespace
