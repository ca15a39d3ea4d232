// Instance handles: issue order, reuse, exhaustion, odd values given back, and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "ZephBase/Log.h"
#include "handleMgr.h"

using PexloCommon::CHandleMgr;
using Zeph::Base::details::ScopedLogCapture;

// Declared first: in a fresh process the counter starts at 0.
TEST(HandleMgr, FirstHandlesAreZeroThenOneWithTheirRecords) {
    ScopedLogCapture capture;
    CHandleMgr* mgr = CHandleMgr::GetInstance();
    EXPECT_EQ(mgr->CreateHandle(), 0);
    EXPECT_EQ(mgr->CreateHandle(), 1);
    mgr->DestroyHandle(1);
    EXPECT_EQ(mgr->CreateHandle(), 1);
    EXPECT_EQ(
        capture.Count("VantraIotSMSPlugin",
                      "[PexloCommon::CHandleMgr::CreateHandle][CreateHandle] handle:0[..\\..\\code\\handleMgr(34)]"),
        1u);
    EXPECT_EQ(
        capture.Count("VantraIotSMSPlugin",
                      "[PexloCommon::CHandleMgr::DestroyHandle][DestroyHandle] handle:1[..\\..\\code\\handleMgr(50)]"),
        1u);
    EXPECT_EQ(capture.Count("VantraIotSMSPlugin",
                            "[PexloCommon::CHandleMgr::CreateHandle][CreateHandle] m_vsRecoveryHandle "
                            "size:1[..\\..\\code\\handleMgr(38)]"),
              1u);
    EXPECT_EQ(capture.Count("VantraIotSMSPlugin",
                            "[PexloCommon::CHandleMgr::CreateHandle][CreateHandle] m_vsRecoveryHandle size:0, "
                            "handle:1[..\\..\\code\\handleMgr(42)]"),
              1u);
    mgr->DestroyHandle(0);
    mgr->DestroyHandle(1);
}

TEST(HandleMgr, ConcurrentUseThenExhaustionReuseAndOddValues) {
    CHandleMgr* mgr = CHandleMgr::GetInstance();
    // Threads that give back exactly what they took leave every handle available exactly once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([mgr] {
            for (int i = 0; i < 300; ++i) {
                int a = mgr->CreateHandle();
                int b = mgr->CreateHandle();
                if (a != -1) mgr->DestroyHandle(a);
                if (b != -1) mgr->DestroyHandle(b);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<int> drained;
    size_t issued = 0;
    for (int h = mgr->CreateHandle(); h != -1; h = mgr->CreateHandle()) {
        drained.insert(h);
        ++issued;
        ASSERT_LE(issued, 5000u) << "handles never run out";
    }
    EXPECT_EQ(issued, 4097u);
    ASSERT_EQ(drained.size(), 4097u);
    EXPECT_EQ(*drained.begin(), 0);
    EXPECT_EQ(*drained.rbegin(), 4096);

    // Exhausted: -1 until something comes back, then the oldest returned value first.
    EXPECT_EQ(mgr->CreateHandle(), -1);
    mgr->DestroyHandle(5);
    mgr->DestroyHandle(3);
    EXPECT_EQ(mgr->CreateHandle(), 5);
    EXPECT_EQ(mgr->CreateHandle(), 3);
    EXPECT_EQ(mgr->CreateHandle(), -1);
    mgr->DestroyHandle(7);
    EXPECT_EQ(mgr->CreateHandle(), 7);
    EXPECT_EQ(mgr->CreateHandle(), -1);

    // -1 given back is handed out again as -1; a 64-bit value yields its low 32 bits.
    mgr->DestroyHandle(-1);
    mgr->DestroyHandle(4294967301LL);
    EXPECT_EQ(mgr->CreateHandle(), -1);
    EXPECT_EQ(mgr->CreateHandle(), 5);
    // A value given back twice is issued twice.
    mgr->DestroyHandle(9);
    mgr->DestroyHandle(9);
    EXPECT_EQ(mgr->CreateHandle(), 9);
    EXPECT_EQ(mgr->CreateHandle(), 9);
    EXPECT_EQ(mgr->CreateHandle(), -1);
}

TEST(HandleMgr, RecoveryListIsBounded) {
    CHandleMgr* mgr = CHandleMgr::GetInstance();
    while (mgr->CreateHandle() != -1) {
    }
    // A value given back twice is issued twice; so drain whatever an earlier test left behind.
    for (size_t i = 0; i < CHandleMgr::kMaxRecoveryHandles; ++i) mgr->DestroyHandle(11);
    ScopedLogCapture capture;
    mgr->DestroyHandle(12);
    EXPECT_EQ(capture.CountContaining("recovery list full, handle:12 dropped"), 1u);
    size_t issued = 0;
    for (int h = mgr->CreateHandle(); h != -1; h = mgr->CreateHandle()) {
        EXPECT_EQ(h, 11);
        ++issued;
    }
    EXPECT_EQ(issued, CHandleMgr::kMaxRecoveryHandles);
}
