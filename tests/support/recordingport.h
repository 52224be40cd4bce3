// A port for the sequencer tests: records every write with its thread, and
// notices two writers at once; can be told to fail at a given write. With a
// keep-alive, its writes are recorded among the others under
// keepAliveAddress, so that their place between the pattern's shows.
#ifndef TESTS_RECORDINGPORT_H
#define TESTS_RECORDINGPORT_H

#include "port/backend/keepalivepin.h"
#include "port/backend/port.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class RecordingPort : public port::backend::Port {
public:
    struct Write {
        std::uint16_t address;
        std::uint8_t value;
        std::thread::id thread;
    };

    void out(std::uint16_t address, std::uint8_t value) override
    {
        if (inside_.exchange(true, std::memory_order_acq_rel))
            overlapped_.store(true, std::memory_order_relaxed);
        std::uint64_t index = 0;
        {
            std::lock_guard lock(mutex_);
            index = writes_.size();
            if (index == failAt_) {
                inside_.store(false, std::memory_order_release);
                throw port::backend::PortError("writing to the test port failed: told to fail at write " +
                                      std::to_string(failAt_) + "; no hint");
            }
            writes_.push_back(Write{address, value, std::this_thread::get_id()});
        }
        if (onWrite_)
            onWrite_(index);
        inside_.store(false, std::memory_order_release);
    }
    std::uint8_t in(std::uint16_t) override { return 0; }
    std::string name() const override { return "recording"; }
    void check() override
    {
        if (++checks_ == failCheckAt_)
            throw port::backend::PortError("the test port stopped answering: told to at check " +
                                  std::to_string(failCheckAt_) + "; no hint");
    }
    void writeIdleFromSignalHandler() noexcept override {}  // never guarded: no crash here
    bool keepAlive() const noexcept override { return keepAlive_; }
    void writeKeepAlive(bool set) override { out(port::backend::keepAliveAddress, set ? 1 : 0); }
    // Has a keep-alive from now on; before the sequencer is made.
    void withKeepAlive() { keepAlive_ = true; }

    std::vector<Write> writes() const
    {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    std::size_t size() const
    {
        std::lock_guard lock(mutex_);
        return writes_.size();
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        writes_.clear();
    }
    bool overlapped() const { return overlapped_.load(std::memory_order_relaxed); }
    // The write with this index (0 = first since construction/clear) throws.
    void failAt(std::uint64_t index)
    {
        std::lock_guard lock(mutex_);
        failAt_ = index;
    }
    // The check with this number (1 = the first) throws; writes go on.
    void failCheckAt(std::uint64_t number) { failCheckAt_ = number; }
    // Called after each write with its index; set before the run starts.
    void onWrite(std::function<void(std::uint64_t)> hook) { onWrite_ = std::move(hook); }

private:
    mutable std::mutex mutex_;
    std::vector<Write> writes_;
    std::uint64_t failAt_ = UINT64_MAX;
    std::atomic<std::uint64_t> checks_{0};
    std::atomic<std::uint64_t> failCheckAt_{UINT64_MAX};
    std::function<void(std::uint64_t)> onWrite_;
    bool keepAlive_ = false;
    std::atomic<bool> inside_{false};
    std::atomic<bool> overlapped_{false};
};

#endif  // TESTS_RECORDINGPORT_H
