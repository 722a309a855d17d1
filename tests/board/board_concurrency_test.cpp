// A board streaming to one thread while others send requests and inspect it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "board/support/model_bus.h"
#include "board/support/sensor_frames.h"
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

// One thread writes the exposure over and over, as NamedControls does (hold, three registers,
// release), while frames stream: every frame is exposed with A or B, never a mix. Without the
// hold, the frames are each A, B or one of the two mixes (which of them shows depends on
// timing, so only their set is checked).
TEST(SensorRegisters, NoFrameExposedWithAHalfWrittenValueUnderTheHold) {
    const virt::BoardConfig c = registerBoard();
    const std::vector<uint8_t> a = expectedFrame(c, 1024, 128), b = expectedFrame(c, 4352, 128);
    const std::vector<uint8_t> mix1 = expectedFrame(c, 0x01400, 128),  // B's first byte only
        mix2 = expectedFrame(c, 0x00100, 128);                         // A's first byte only
    for (bool hold : {true, false}) {
        ModelBus bus(c);
        ChunkDecoder d;
        ASSERT_TRUE(bus.out(0xA1));
        std::atomic<bool> done{false};
        std::thread writer([&] {
            for (int i = 0; !done; ++i) {
                const uint8_t* v = i % 2 ? kExposureA : kExposureB;
                if (hold) writeSensor(bus, 0x0104, 1);
                for (int r = 0; r < 3; ++r) {
                    writeSensor(bus, static_cast<uint16_t>(0x3500 + r), v[r]);
                    std::this_thread::yield();  // frames may start between the writes
                }
                if (hold) writeSensor(bus, 0x0104, 0);
            }
        });
        int counts[4] = {};
        for (int i = 0; i < 600; ++i) {
            const std::vector<uint8_t> f = nextFrame(bus, d);
            const int kind = f == a ? 0 : f == b ? 1 : f == mix1 ? 2 : f == mix2 ? 3 : -1;
            ASSERT_GE(kind, 0) << "frame " << i << " matches no exposure";
            ++counts[kind];
            if (hold) {
                ASSERT_LT(kind, 2) << "frame " << i << " exposed with a half-written value";
            }
        }
        done = true;
        writer.join();
        EXPECT_EQ(counts[0] + counts[1] + counts[2] + counts[3], 600);
    }
}

}  // namespace
}  // namespace vexo::test
