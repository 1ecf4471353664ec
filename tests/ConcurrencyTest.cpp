// Wrappers on several threads at once, each with its own connection, against the simulator:
// two wrappers share nothing, so this must be clean under ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CloudStackWrapper.h"
#include "LoopbackAddress.h"
#include "Simulator.h"

using namespace CloudStackSDKWrapper;

namespace {

TEST(ConcurrencyTest, EightWrappersOnEightThreadsMakeTwoHundredCallsEach) {
    cssim::Simulator simulator{cssim::SimulatorOptions{}};
    const std::string address = cstest::ProcessLoopbackAddress();
    ASSERT_TRUE(simulator.Start(address));

    constexpr int kThreads = 8;
    constexpr int kCalls = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failures, &address, t] {
            CCloudStackWrapper wrapper;
            if (!wrapper.Connect(address, "admin", "password")) {
                failures += kCalls;
                return;
            }
            for (int i = 0; i < kCalls; ++i) {
                bool ok = false;
                switch ((i + t) % 4) {
                    case 0: {
                        std::vector<SZoneInfoLib> zones;
                        ok = wrapper.GetZoneInfoList(zones, 0) && !zones.empty();
                        break;
                    }
                    case 1: {
                        std::vector<SVMInfoLib> vms;
                        ok = wrapper.GetVMInfoList(vms, 0) && !vms.empty();
                        break;
                    }
                    case 2: {
                        SHostInfoLib host;
                        ok = wrapper.GetHostInfo("kvm-01", "", host, 0) && host.strName == "kvm-01";
                        break;
                    }
                    default: {
                        std::string json;
                        ok = wrapper.Call("listClusters", {{"name", "cluster1"}}, json);
                        break;
                    }
                }
                if (!ok) ++failures;
            }
            wrapper.Disconnect();
        });
    }
    for (std::thread& thread : threads) thread.join();
    simulator.Stop();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
