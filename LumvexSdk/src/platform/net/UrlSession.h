#pragma once

// Thread guarantees: `Url`, `UrlRequest` and the answer types are plain values. Every member of
// `UrlSession` may be called from any thread. Completions arrive on the session's own thread
// ("lumvex-http"), one at a time; only when the session cannot be set up is a completion
// called at once on the caller's thread. The stall and whole-transfer bounds run on the
// installed clock (platform/Clock.h): moving a virtual clock past one ends the transfer then.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumvex::platform {

/// An absolute http or https URL that parsed.
class Url final {
public:
    /// Nothing when `text` is not an absolute URL with a host, or its scheme is not
    /// "http" or "https".
    static std::optional<Url> parse(const std::string& text);

    /// The URL in its normalised text form.
    const std::string& string() const { return text_; }

private:
    explicit Url(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

struct UrlRequest {
    explicit UrlRequest(Url url) : url(std::move(url)) {}

    Url url;
    std::string httpMethod = "GET";
    /// The headers that the caller sets; the transport adds only what HTTP needs to frame
    /// the message (Host, Content-Length).
    std::vector<std::pair<std::string, std::string>> headers;
    std::string httpBody;

    void setValue(const std::string& value, const std::string& field) { headers.emplace_back(field, value); }
};

/// The part of an HTTP answer that the session reports.
struct HttpUrlResponse {
    long statusCode = 0;
};

/// A transport failure: no answer could be had.
struct UrlError {
    int code = 0;             // libcurl's CURLcode
    std::string description;  // what went wrong, for logs
};

std::string to_string(const std::optional<UrlError>& error);

/// Response data as the session reports it: only its first bytes are kept, the rest is
/// counted and dropped, so that a large answer cannot grow the process.
struct UrlResponseData {
    static constexpr std::size_t RETAINED_BYTES = 4096;

    std::string prefix;          // at most RETAINED_BYTES
    std::size_t totalBytes = 0;  // everything that arrived
};

/// The process-wide shared URL session. Transfers run on one thread of the session's own,
/// and every completion is called on that thread, one at a time.
class UrlSession final {
public:
    /// Data is present when the exchange ended without a transport error; the response is
    /// present when an HTTP status line arrived; the error is present when the exchange
    /// failed.
    using Completion =
        std::function<void(std::optional<UrlResponseData> data, std::optional<HttpUrlResponse> response,
                           std::optional<UrlError> error)>;

    /// A transfer gives up with CURLE_OPERATION_TIMEDOUT when no byte has moved for this
    /// long: none of the request body sent, and none of the answer's head or body received,
    /// counted from its start, so connecting is included.
    static constexpr std::chrono::seconds DEFAULT_STALL_TIMEOUT{60};
    /// A transfer that has not ended this long after it began gives up the same way,
    /// however steadily its answer keeps arriving.
    static constexpr std::chrono::minutes DEFAULT_TRANSFER_TIMEOUT{3};

    static UrlSession& shared();

    /// Starts the transfer at once. The completion is called exactly once, on the
    /// session's thread, unless the process exits first. The first task sets up the HTTP
    /// layer and makes that thread; when either cannot be had, the completion is called at
    /// once, on the caller's thread, with an error. In a child made by fork() after the
    /// thread was made the task is dropped without completion.
    void dataTask(UrlRequest request, Completion completion);

    /// Runs `work` on the session's thread, between completions, for an outcome that must
    /// reach its host where completions do. False, and `work` left as it was, when there is
    /// no such thread (never made, stopped, or in a forked child): the caller decides.
    bool post(std::function<void()>& work);

    /// Whether the calling thread is the one on which completions run.
    bool isCompletionThread() const;

    /// Stops the transfer thread: transfers in flight are dropped without completion and
    /// later tasks are refused. Waits a short while at most for a completion under way.
    /// Does nothing in a child made by fork(), where the thread does not exist.
    void shutdown();

    ~UrlSession();
    UrlSession(const UrlSession&) = delete;
    UrlSession& operator=(const UrlSession&) = delete;

    struct State;

private:
    friend struct UrlSessionTestAccess;

    /// Replace the stall bound and the whole-transfer bound (at least one millisecond each)
    /// for transfers started afterwards; `std::nullopt` restores the default.
    static void setStallTimeout(std::optional<std::chrono::milliseconds> timeout);
    static void setTransferTimeout(std::optional<std::chrono::milliseconds> timeout);

    UrlSession();
    std::shared_ptr<State> state_;
};

}  // namespace lumvex::platform
