// The gate in front of one registered observer block (notification observers, key-value observers).
//
// A delivery passes the gate before it calls the block and leaves it afterwards. `close` shuts the gate:
// no call starts once it returns. It waits for calls already under way on other threads (bounded by
// kCloseWait), so that after removing an observer the caller may free whatever the block uses; a call under
// way on the closing thread itself (an observer removing itself from inside its block) is not waited for.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class ObserverGate {
  public:
    static constexpr std::chrono::seconds kCloseWait{5};

    // RAII pass: `admitted()` tells whether the block may be called.
    class Pass {
      public:
        explicit Pass(ObserverGate& gate) : gate_(gate), admitted_(gate.enter()) {}
        ~Pass() {
            if (admitted_) gate_.leave();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        bool admitted() const { return admitted_; }

      private:
        ObserverGate& gate_;
        bool admitted_;
    };

    // Closes the gate. Returns false when calls on other threads were still running after kCloseWait.
    bool close() {
        std::unique_lock lock(mutex_);
        closed_ = true;
        const auto self = std::this_thread::get_id();
        return idle_.wait_for(lock, kCloseWait, [&] {
            return std::all_of(running_.begin(), running_.end(), [&](auto id) { return id == self; });
        });
    }

    bool isClosed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }

  private:
    bool enter() {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        running_.push_back(std::this_thread::get_id());
        return true;
    }
    void leave() {
        std::lock_guard lock(mutex_);
        running_.erase(std::find(running_.begin(), running_.end(), std::this_thread::get_id()));
        idle_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool closed_ = false;
    std::vector<std::thread::id> running_;  // one entry per call under way (nested calls repeat the id)
};
