#include "platform/SerialQueue.h"

#include "L.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace lumvex::platform {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> items;
    bool closing = false;
    std::thread worker;
};

namespace {
void workerLoop(const std::shared_ptr<SerialQueue::State>& state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    while (true) {
        state->cv.wait(lock, [&] { return state->closing || !state->items.empty(); });
        if (state->items.empty()) {
            return;  // closing and nothing left
        }
        auto item = std::move(state->items.front());
        state->items.pop_front();
        lock.unlock();
        // A throwing item must not end the process, nor the queue and every later item.
        try {
            item();
        } catch (const std::exception& e) {
            LUMVEX_LOG_ERROR("workerLoop", std::string("Work item failed : ") + e.what());
        } catch (...) {
            LUMVEX_LOG_ERROR("workerLoop", "Work item failed");
        }
        item = nullptr;  // what the item captured is released outside the lock
        lock.lock();
    }
}
}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
    auto state = state_;
    state_->worker = std::thread([state] { workerLoop(state); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->closing = true;
        state_->cv.notify_all();
    }
    if (state_->worker.get_id() == std::this_thread::get_id()) {
        state_->worker.detach();  // the worker owns its state and finishes by itself
    } else {
        state_->worker.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->items.push_back(std::move(work));
    state_->cv.notify_all();
}

bool SerialQueue::drain(std::chrono::milliseconds timeout) {
    struct Marker {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto marker = std::make_shared<Marker>();
    async([marker] {
        std::lock_guard<std::mutex> guard(marker->mutex);
        marker->done = true;
        marker->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(marker->mutex);
    return marker->cv.wait_for(lock, timeout, [&] { return marker->done; });
}

bool SerialQueue::isCurrent() const {
    return state_->worker.get_id() == std::this_thread::get_id();
}

}  // namespace lumvex::platform
