// Instance handles: issue order, reuse, exhaustion, odd values given back, and concurrent use.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <utility>
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
    for (const char* text :
         {"[PexloCommon::CHandleMgr::CreateHandle][CreateHandle] handle:0[..\\..\\code\\handleMgr(34)]",
          "[PexloCommon::CHandleMgr::DestroyHandle][DestroyHandle] handle:1[..\\..\\code\\handleMgr(50)]",
          "[PexloCommon::CHandleMgr::CreateHandle][CreateHandle] m_vsRecoveryHandle "
          "size:1[..\\..\\code\\handleMgr(38)]",
          "[PexloCommon::CHandleMgr::CreateHandle][CreateHandle] m_vsRecoveryHandle size:0, "
          "handle:1[..\\..\\code\\handleMgr(42)]"}) {
        EXPECT_EQ(capture.Count("VantraIotSMSPlugin", text), 1u) << text;
    }
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
                const int a = mgr->CreateHandle(), b = mgr->CreateHandle();
                if (a != -1) mgr->DestroyHandle(a);
                if (b != -1) mgr->DestroyHandle(b);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<int> issued;
    for (int h = mgr->CreateHandle(); h != -1; h = mgr->CreateHandle()) {
        issued.push_back(h);
        ASSERT_LE(issued.size(), 5000u) << "handles never run out";
    }
    const std::set<int> distinct(issued.begin(), issued.end());
    EXPECT_EQ(issued.size(), 4097u);
    ASSERT_EQ(distinct.size(), 4097u);
    EXPECT_EQ(*distinct.begin(), 0);
    EXPECT_EQ(*distinct.rbegin(), 4096);

    // Exhausted: -1 until something comes back, then the oldest returned value first. -1 given back is handed
    // out again as -1, a 64-bit value as its low 32 bits, and a value given back twice is issued twice.
    const std::vector<std::pair<std::vector<int64_t>, std::vector<int>>> steps = {
        {{}, {-1}}, {{5, 3}, {5, 3, -1}}, {{7}, {7, -1}}, {{-1, 4294967301LL}, {-1, 5}}, {{9, 9}, {9, 9, -1}}};
    for (const auto& [givenBack, expected] : steps) {
        for (int64_t h : givenBack) mgr->DestroyHandle(h);
        for (int want : expected) EXPECT_EQ(mgr->CreateHandle(), want) << "after giving back " << givenBack.size();
    }
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
