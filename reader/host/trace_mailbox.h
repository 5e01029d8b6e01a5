// Trace events handed from the library's threads to a window's thread: the
// library's thread only queues and never waits on a window, and the window
// is woken once per burst, not once per event.
#pragma once

#include "exports.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace kav::host {

template <typename Frame> class TraceMailbox {
  public:
    explicit TraceMailbox(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

    // Queues a frame, keeping the newest `capacity`; true when the window
    // must be woken (nothing asked it since its last take).
    bool put(Frame frame) {
        const std::lock_guard lock(mutex_);
        pending_.push_back(std::move(frame));
        if (pending_.size() > capacity_)
            pending_.pop_front();
        ++arrived_;
        return !std::exchange(woken_, true);
    }

    // The wake-up could not be sent: the next put asks again.
    void wakeFailed() {
        const std::lock_guard lock(mutex_);
        woken_ = false;
    }

    struct Batch {
        std::deque<Frame> frames; // oldest first
        std::size_t arrived = 0;  // all that came, those dropped for capacity too
    };
    // What came since the last take, on the window's thread.
    Batch take() {
        Batch batch;
        const std::lock_guard lock(mutex_);
        batch.frames.swap(pending_);
        batch.arrived = std::exchange(arrived_, 0);
        woken_ = false;
        return batch;
    }

  private:
    const std::size_t capacity_;
    std::mutex mutex_; // guards what follows
    std::deque<Frame> pending_;
    std::size_t arrived_ = 0;
    bool woken_ = false;
};

// The library's trace callback, set while a monitor is shown and taken away
// when it is not: closed, a monitor costs the library nothing. Once the
// library returns from taking it away it never calls it again, so nothing
// reaches a monitor that is gone. The receiver's receive(const
// KavTraceEvent &) is called on whichever thread does the library's work.
template <typename Receiver> class TraceSubscription {
  public:
    // setter may be null: the loaded library reports no frames.
    TraceSubscription(TraceSetter setter, Receiver *receiver)
        : setter_(setter), receiver_(receiver) {}
    ~TraceSubscription() { listen(false); }
    TraceSubscription(const TraceSubscription &) = delete;
    TraceSubscription &operator=(const TraceSubscription &) = delete;

    bool framesReported() const { return setter_ != nullptr; }
    bool listening() const { return listening_; }

    void listen(bool on) {
        if (setter_ == nullptr || listening_ == on)
            return;
        setter_(on ? &forward : nullptr, on ? receiver_ : nullptr);
        listening_ = on;
    }

  private:
    static void KAV_CALL forward(const KavTraceEvent *event, void *context) {
        if (event != nullptr)
            static_cast<Receiver *>(context)->receive(*event);
    }

    TraceSetter setter_;
    Receiver *receiver_;
    bool listening_ = false;
};

} // namespace kav::host
