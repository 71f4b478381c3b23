#pragma once

// Thread guarantees: every call is safe from any thread; one lock guards the queue, and no
// upload runs under it. `enter` and `endTurn` run the uploads whose turn comes on the
// calling thread.

#include <LumvexSdk/Lumvex.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace lumvex {

/// What an upload told its host: nothing (no callback was made), or the outcome it passed.
using Told = std::optional<std::optional<LumvexException>>;

/// How a step of an upload left its turn.
struct Step {
    bool inFlight = false;  // a request is out: its answer carries the turn on
    Told told;              // otherwise: what the host was told
};

/// Whose turn it is to upload, process-wide. Two uploads in flight at once would both carry
/// the lines that neither has removed yet, and an endpoint that never answers would
/// otherwise pile up one socket per push. Uploads wait in call order; each is given what
/// the upload before it told its host. The queue is never destroyed: the session's thread
/// may end a turn while the process exits.
class UploadQueue final {
public:
    UploadQueue() = delete;

    /// One upload's turn: given what the upload before it told its host.
    using Turn = std::function<Step(const Told& before)>;

    /// Runs `turn` now when no upload has the turn, else once the uploads before it ended.
    /// `askedAt`: `outcomesSoFar()` when the host asked; an upload that ended since carried
    /// what was stored then, and `turn` is given its outcome. What `turn` throws when run
    /// now ends the turn and goes on to the caller.
    static void enter(Turn turn, std::optional<std::uint64_t> askedAt);

    /// Runs `step`, the rest of the turn after an answer; unless it left a request in
    /// flight, hands the turn on. Lets nothing escape but a forced unwind (a push callback
    /// that ends the thread).
    static void carryOn(const std::function<Step()>& step);

    /// The turn among the processes that share the caches directory, taken for this one's
    /// turn if it is not held yet. Not waited for: the other's upload may take as long as
    /// the network does. False when another process holds it.
    static bool takeTurnAcrossProcesses();

    /// The key of the recorded request that was delivered but whose fixes could not be
    /// removed: it is not sent again; its removal is tried again first.
    static void setDeliveredKey(std::optional<std::string> key);
    static bool isDelivered(const std::string& key);
    /// Whether a delivered request's fixes are still to be removed.
    static bool awaitingRemoval();

    /// How many uploads have told their host an outcome so far.
    static std::uint64_t outcomesSoFar();
    /// Whether no upload is in flight or waiting its turn.
    static bool idle();

private:
    /// Hands the turn to the uploads that waited, or frees it; `told`: what the upload that
    /// just ended told its host, if anything.
    static void endTurn(Told told);
};

}  // namespace lumvex
