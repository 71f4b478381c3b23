#include "upload/UploadQueue.h"

#include "platform/base/Guarded.h"
#include "platform/base/HostCode.h"
#include "platform/base/NoDestructor.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/FileLock.h"
#include "platform/system/Files.h"

#include <cerrno>
#include <deque>
#include <utility>

namespace lumvex {

namespace {

struct Turns {
    bool busy = false;
    // In call order.
    std::deque<UploadQueue::Turn> waiting;
    std::optional<std::string> deliveredKey;
    // How many uploads have told their host an outcome, and the last such outcome.
    std::uint64_t toldCount = 0;
    Told lastTold;
    // The turn among the processes that share the caches directory, held for this one's.
    std::optional<platform::FileLock> acrossProcesses;
};

platform::Guarded<Turns>& turns() {
    static platform::NoDestructor<platform::Guarded<Turns>> instance;
    return *instance;
}

}  // namespace

void UploadQueue::enter(Turn turn, std::optional<std::uint64_t> askedAt) {
    Told before;
    const bool waits = turns().with([&turn, &before, askedAt](Turns& state) {
        if (state.busy) {
            state.waiting.push_back(std::move(turn));
            return true;
        }
        state.busy = true;
        // An upload that ended since the host asked carried what was stored then.
        if (askedAt && *askedAt != state.toldCount) {
            before = state.lastTold;
        }
        return false;
    });
    if (waits) {
        return;
    }
    Told told;
    try {
        auto step = turn(before);
        if (step.inFlight) {
            return;
        }
        told = std::move(step.told);
    } catch (...) {
        endTurn(Told());
        throw;
    }
    endTurn(std::move(told));
}

void UploadQueue::carryOn(const std::function<Step()>& step) {
    Told told;
    try {
        auto next = step();
        if (next.inFlight) {
            return;
        }
        told = std::move(next.told);
    }
    LUMVEX_PASS_FORCED_UNWIND
    catch (...) {
        // Out of memory: the turn still passes on.
    }
    endTurn(std::move(told));
}

// One waiting upload after the other on this thread until one has a request in flight. A
// loop rather than a call from each upload's end, so that any number of waiting uploads
// cost no stack. Runs where an upload ended, so it lets nothing escape.
void UploadQueue::endTurn(Told told) {
    Told fresh = told;  // what the upload that just ended told, if anything
    for (;;) {
        Turn next;
        const bool handed = turns().with([&next, &fresh](Turns& state) {
            if (fresh) {
                state.lastTold = fresh;
                ++state.toldCount;
            }
            if (state.waiting.empty()) {
                state.busy = false;
                state.acrossProcesses.reset();
                return false;
            }
            next = std::move(state.waiting.front());
            state.waiting.pop_front();
            return true;
        });
        if (!handed) {
            return;
        }
        try {
            auto step = next(told);
            if (step.inFlight) {
                return;
            }
            fresh = step.told;
            if (step.told) {
                told = std::move(step.told);
            }
        }
        LUMVEX_PASS_FORCED_UNWIND
        catch (...) {
            // Out of memory: this upload is given up, and the next in line gets the turn.
            fresh.reset();
        }
    }
}

bool UploadQueue::takeTurnAcrossProcesses() {
    return turns().with([](Turns& state) {
        if (state.acrossProcesses) {
            return true;
        }
        const auto directory = platform::cachesDirectory();
        if (!directory) {
            return true;  // no stores to share
        }
        state.acrossProcesses = platform::FileLock::tryLock(*directory + "/upload.lock");
        // A lock that cannot be had for another reason keeps no upload from going out.
        return state.acrossProcesses.has_value() || errno != EWOULDBLOCK;
    });
}

void UploadQueue::setDeliveredKey(std::optional<std::string> key) {
    turns().with([&key](Turns& state) { state.deliveredKey = std::move(key); });
}

bool UploadQueue::isDelivered(const std::string& key) {
    return turns().with([&key](const Turns& state) { return state.deliveredKey == key; });
}

bool UploadQueue::awaitingRemoval() {
    return turns().with([](const Turns& state) { return state.deliveredKey.has_value(); });
}

std::uint64_t UploadQueue::outcomesSoFar() {
    return turns().with([](const Turns& state) { return state.toldCount; });
}

bool UploadQueue::idle() {
    return turns().with([](const Turns& state) { return !state.busy; });
}

}  // namespace lumvex
