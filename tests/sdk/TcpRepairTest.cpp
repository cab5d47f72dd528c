// A close of the daemon's endpoint during a repair ends the repair.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "BridgeTestSupport.h"
#include "kelvix/Tcp.h"

namespace {

using namespace std::chrono_literals;

// The daemon closes its endpoint to stop while its worker may just be repairing after a client
// left; that close must end the repair instead of being overtaken by it.
TEST(TcpRepairThreaded, CloseDuringARepairEndsIt) {
    bridge_test::listenOnLoopback();
    for (int round = 0; round < 500; ++round) {
        const int port = bridge_test::freeLoopbackPort();
        ASSERT_GT(port, 0);
        zol::Tcp server(port);
        auto accepted = std::async(std::launch::async, [&server] { return server.connect(); });
        zol::Tcp client("127.0.0.1", port, 0.01);
        while (!client.isConnected()) {
            try {
                client.connect();
            } catch (const zol::ConnectionError&) {
                std::this_thread::sleep_for(1ms);
            }
        }
        ASSERT_TRUE(accepted.get());
        auto repaired = std::async(std::launch::async, [&server] {
            unsigned char byte;
            try {
                server.read(&byte, 1);
            } catch (const zol::ConnectionError&) {
                return server.repairConnection();
            }
            return true;
        });
        client.close();
        std::this_thread::sleep_for(std::chrono::microseconds((round % 100)));
        server.close();
        const bool ended = repaired.wait_for(2s) == std::future_status::ready;
        EXPECT_TRUE(ended) << "round " << round;
        if (!ended) {
            server.close();  // the repair's own listener, so that the thread can finish
            repaired.wait();
            return;
        }
        EXPECT_FALSE(repaired.get()) << "round " << round;
    }
}

}  // namespace
