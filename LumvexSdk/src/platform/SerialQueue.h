#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace lumvex::platform {

/// Runs submitted work one item at a time, in submission order, on a thread of its own.
class SerialQueue final {
public:
    explicit SerialQueue(std::string label);
    /// Runs what is still queued, then ends the worker. When the last owner lets go from
    /// inside one of its own work items, the worker finishes the queue on its own instead.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    /// Enqueues `work` and returns at once.
    void async(std::function<void()> work);

    /// Waits until everything enqueued before this call has run, or until `timeout`.
    /// Returns whether it did. Must not be called from the queue's own thread.
    bool drain(std::chrono::milliseconds timeout);

    /// Whether the calling thread is this queue's worker.
    bool isCurrent() const;

    struct State;

private:
    std::string label_;
    std::shared_ptr<State> state_;
};

}  // namespace lumvex::platform
