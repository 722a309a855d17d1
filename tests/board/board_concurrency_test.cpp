// A board streaming to one thread while others send requests and inspect it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "board/support/model_bus.h"
#include "board/support/stream_decoder.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::test {
namespace {

TEST(BoardConcurrency, StreamControlAndInspectionAtOnce) {
    virt::BoardConfig c;
    c.stream.width = 160;
    c.stream.height = 120;
    ModelBus bus(c);
    ASSERT_TRUE(bus.out(0xA1));
    std::atomic<bool> done{false};
    std::thread control([&] {
        // A second "host thread" on endpoint 0, as the backend would serialise it.
        driver::SetupPacket write{0x40, 0xE1, 0x2000, 0x3012, 2};
        uint8_t value[2] = {0, 0};
        for (int i = 0; !done; ++i) {
            value[1] = static_cast<uint8_t>(i);
            bus.model->control(write, value);
        }
    });
    std::thread inspect([&] {
        while (!done) {
            (void)bus.model->framesSent();
            (void)bus.model->sensorRegister(0x3012);
            (void)bus.model->controlRequests().size();
        }
    });
    ChunkDecoder d;
    for (int i = 0; i < 200; ++i) {
        auto r = bus.read(524288);
        ASSERT_TRUE(r);
        ASSERT_TRUE(d.feed(*r)) << d.why();
    }
    done = true;
    control.join();
    inspect.join();
    ASSERT_EQ(d.frames.size(), 200u);
    std::vector<uint8_t> want;
    virt::renderFrame(c.stream, 199, want);
    EXPECT_EQ(d.frames[199].bytes, want);
    EXPECT_EQ(bus.model->framesSent(), 200u);
}

}  // namespace
}  // namespace vexo::test
