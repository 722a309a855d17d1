// A minimal device model for the tests: endpoint-0 requests go to a handler (stall without
// one), bulk reads are served from per-endpoint scripts, and presence can be switched.
//
// Threading: the backend calls the model under its device lock; tests script it from any
// thread, so the scripts have their own lock.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "driver/virtual/device_model.h"

namespace vexo::test {

using driver::Clock;
using driver::SetupPacket;
using driver::virt::BulkResult;
using driver::virt::ControlResult;

class ScriptedModel : public driver::virt::DeviceModel {
  public:
    /// One scripted answer to a bulk read.
    struct Step {
        BulkResult::Kind kind = BulkResult::Kind::Done;
        std::vector<uint8_t> data;
        Clock::time_point readyAt = Clock::time_point::max();
    };

    ControlResult control(const SetupPacket& setup, uint8_t* data) override {
        std::function<ControlResult(const SetupPacket&, uint8_t*)> handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            setups_.push_back(setup);
            handler = onControl_;
        }
        return handler ? handler(setup, data) : ControlResult::stall();
    }

    BulkResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++offers_[endpoint];
        auto& script = scripts_[endpoint];
        if (script.empty()) return BulkResult::waitForever();
        Step& step = script.front();
        if (step.kind == BulkResult::Kind::Wait) {
            if (Clock::now() < step.readyAt) return BulkResult::waitUntil(step.readyAt);
            script.pop_front();  // its time has come: serve the next step now
            if (script.empty()) return BulkResult::waitForever();
        }
        Step next = std::move(script.front());
        script.pop_front();
        if (next.kind == BulkResult::Kind::Fail) return BulkResult::fail();
        const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(next.data.size()));
        std::copy_n(next.data.begin(), n, data);
        return BulkResult::done(n);
    }

    void bulkAborted(uint8_t endpoint) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++aborts_[endpoint];
    }

    bool present() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return present_;
    }

    // Scripting, from the test thread.
    void setControlHandler(std::function<ControlResult(const SetupPacket&, uint8_t*)> h) {
        std::lock_guard<std::mutex> lock(mutex_);
        onControl_ = std::move(h);
    }
    void queueData(uint8_t endpoint, std::vector<uint8_t> bytes) {
        push(endpoint, Step{BulkResult::Kind::Done, std::move(bytes), {}});
    }
    void queueFail(uint8_t endpoint) { push(endpoint, Step{BulkResult::Kind::Fail, {}, {}}); }
    /// The next read waits until `t`, then takes the step after this one.
    void queueWaitUntil(uint8_t endpoint, Clock::time_point t) {
        push(endpoint, Step{BulkResult::Kind::Wait, {}, t});
    }
    void setPresent(bool present) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            present_ = present;
        }
        notifyChanged();
    }

    int aborts(uint8_t endpoint) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = aborts_.find(endpoint);
        return it == aborts_.end() ? 0 : it->second;
    }
    std::vector<SetupPacket> setups() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return setups_;
    }

  private:
    void push(uint8_t endpoint, Step step) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            scripts_[endpoint].push_back(std::move(step));
        }
        notifyChanged();
    }

    mutable std::mutex mutex_;
    std::function<ControlResult(const SetupPacket&, uint8_t*)> onControl_;
    std::map<uint8_t, std::deque<Step>> scripts_;
    std::map<uint8_t, int> offers_;
    std::map<uint8_t, int> aborts_;
    std::vector<SetupPacket> setups_;
    bool present_ = true;
};

}  // namespace vexo::test
