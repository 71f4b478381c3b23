#include "platform/net/UrlSession.h"

#include "platform/base/Clock.h"
#include "platform/base/HostCode.h"
#include "platform/base/L.h"
#include "platform/base/Process.h"
#include "platform/base/Thread.h"
#include "platform/base/ThreadAnnotations.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace lumvex::platform {

namespace {

using std::chrono::milliseconds;

std::atomic<milliseconds::rep> stallMilliseconds{milliseconds(UrlSession::DEFAULT_STALL_TIMEOUT).count()};
std::atomic<milliseconds::rep> transferMilliseconds{
    milliseconds(UrlSession::DEFAULT_TRANSFER_TIMEOUT).count()};

// How long the session's destructor, at process exit, waits for the transfer thread to
// let go before leaving it behind.
constexpr auto EXIT_GRACE = std::chrono::seconds(2);

// The system's trust store as a hashed directory: the TLS library then reads the one
// certificate that a handshake needs, instead of keeping the whole bundle parsed in memory
// for as long as the process runs. It holds the same authorities as the bundle.
constexpr const char* TRUST_DIRECTORY = "/etc/ssl/certs";

bool trustDirectoryPresent() {
    static const bool present = [] {
        struct stat info {};
        return ::stat(TRUST_DIRECTORY, &info) == 0 && S_ISDIR(info.st_mode);
    }();
    return present;
}

struct UrlHandle {
    CURLU* handle = curl_url();
    ~UrlHandle() { curl_url_cleanup(handle); }
    std::optional<std::string> part(CURLUPart which) const {
        char* text = nullptr;
        if (curl_url_get(handle, which, &text, 0) != CURLUE_OK || !text) {
            return std::nullopt;
        }
        std::string out(text);
        curl_free(text);
        return out;
    }
};

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

}  // namespace

std::optional<Url> Url::parse(const std::string& text) {
    UrlHandle url;
    if (!url.handle || curl_url_set(url.handle, CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const auto scheme = url.part(CURLUPART_SCHEME);
    const auto host = url.part(CURLUPART_HOST);
    if (!scheme || !host || host->empty()) {
        return std::nullopt;
    }
    const auto lower = lowercase(*scheme);
    if (lower != "http" && lower != "https") {
        return std::nullopt;
    }
    auto normalised = url.part(CURLUPART_URL);
    if (!normalised) {
        return std::nullopt;
    }
    return Url(std::move(*normalised));
}

std::string to_string(const std::optional<UrlError>& error) {
    if (!error) {
        return "nil";
    }
    return "Optional(UrlError(code: " + std::to_string(error->code) + ", description: \"" +
           error->description + "\"))";
}

namespace {

/// One transfer from its start to its completion; lives on the session's thread.
struct Transfer {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    UrlResponseData data;
    UrlSession::Completion completion;
    char errorText[CURL_ERROR_SIZE] = {};

    // The two bounds, taken when the transfer is made, and the times they run from, on
    // the installed clock.
    milliseconds stallBound{0};
    milliseconds wholeBound{0};
    Clock::TimePoint started{};
    Clock::TimePoint lastProgress{};
    // Set by libcurl's callbacks when bytes moved; the session loop stamps it with the time
    // it read before driving the transfer, so that bytes already in the socket by then
    // count as having come in time, however far a virtual clock moved meanwhile.
    bool moved = false;
    curl_off_t received = 0;
    curl_off_t sent = 0;
    // Set when the transfer is refused before libcurl sees it; `errorText` says why.
    CURLcode refusal = CURLE_OK;

    void restartBounds(Clock::TimePoint now) {
        started = now;
        lastProgress = now;
        moved = false;
    }

    Clock::TimePoint deadline() const { return std::min(lastProgress + stallBound, started + wholeBound); }

    /// Whether a bound ran out by `now`; if so, says which in the error text.
    bool overdue(Clock::TimePoint now) {
        if (now - lastProgress >= stallBound) {
            std::snprintf(errorText, sizeof errorText, "No data moved for %lld ms",
                          static_cast<long long>(stallBound.count()));
            return true;
        }
        if (now - started >= wholeBound) {
            std::snprintf(errorText, sizeof errorText, "Not done %lld ms after it began",
                          static_cast<long long>(wholeBound.count()));
            return true;
        }
        return false;
    }

    ~Transfer() {
        if (easy) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headers);
    }
};

size_t onResponseBytes(char* bytes, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    auto& data = transfer->data;
    data.totalBytes += length;
    const size_t room =
        UrlResponseData::RETAINED_BYTES - std::min(UrlResponseData::RETAINED_BYTES, data.prefix.size());
    data.prefix.append(bytes, std::min(room, length));
    transfer->moved = true;
    return length;  // the rest is read and dropped, never refused
}

size_t onHeaderBytes(char*, size_t size, size_t count, void* user) {
    static_cast<Transfer*>(user)->moved = true;
    return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    auto* transfer = static_cast<Transfer*>(user);
    if (received != transfer->received || sent != transfer->sent) {
        transfer->received = received;
        transfer->sent = sent;
        transfer->moved = true;
    }
    return 0;
}

/// Calls a completion; what it throws ends there, so that one faulty completion cannot
/// take the session's thread, and every later upload, down with it. A push callback that
/// ends this thread (see callHostCode) ends it.
void complete(const UrlSession::Completion& completion, std::optional<UrlResponseData> data,
              std::optional<HttpUrlResponse> response, std::optional<UrlError> error) {
    callHostCode([&] { completion(std::move(data), response, std::move(error)); });
}

// The transfers in flight, by their libcurl handle, and those that ended in one round.
using ActiveTransfers = std::map<CURL*, std::unique_ptr<Transfer>>;
using EndedTransfers = std::vector<std::pair<std::unique_ptr<Transfer>, CURLcode>>;

}  // namespace

struct UrlSession::State {
    using Requests = std::deque<std::pair<UrlRequest, Completion>>;
    Mutex mutex;
    std::condition_variable cv;
    Requests pending LUMVEX_GUARDED_BY(mutex);
    // Work posted to run on the thread, taken with the requests.
    std::deque<std::function<void()>> posted LUMVEX_GUARDED_BY(mutex);
    bool stopping LUMVEX_GUARDED_BY(mutex) = false;
    bool exited LUMVEX_GUARDED_BY(mutex) = false;
    // The thread is gone, having exited or been ended by host code in a completion (see
    // callHostCode); an exit then does not wait for it.
    bool gone LUMVEX_GUARDED_BY(mutex) = false;
    // libcurl's global set-up is done.
    bool globalReady LUMVEX_GUARDED_BY(mutex) = false;
    // Made before the thread starts, which keeps its own copy; ended by the thread.
    CURLM* multi LUMVEX_GUARDED_BY(mutex) = nullptr;
    // Made by the first task.
    Thread thread LUMVEX_GUARDED_BY(mutex);
    // The process in which the thread runs, 0 before it is made. Read without the lock: in
    // a forked child the thread may have held it at the fork.
    std::atomic<pid_t> threadPid{0};
    // True in a forked child of the process that made the thread: there the thread, the lock
    // and libcurl's wakeup socket all belong to the parent.
    bool inForkedChild() const {
        const pid_t pid = threadPid.load();
        return pid != 0 && pid != currentProcessId();
    }
    // Wakes the loop when a virtual clock moves, so that a bound that ran out on it is seen
    // at once. Made before the thread starts, which keeps its own copy.
    std::shared_ptr<ClockListener> clockListener LUMVEX_GUARDED_BY(mutex);

    bool startThread(const std::shared_ptr<State>& self) LUMVEX_REQUIRES(mutex);
    void wake();
    void run();
    /// Takes the requests made since the last round into `incoming`, first waiting for one
    /// while nothing is `active`. False once the session is stopping.
    bool takeWork(const ActiveTransfers& active, Requests& incoming, std::deque<std::function<void()>>& work)
        LUMVEX_EXCLUDES(mutex);
    /// Starts the transfers of `incoming` on the multi handle; those that cannot start are
    /// completed with an error at once.
    void admit(CURLM* handle, Requests& incoming, Clock::TimePoint now, ActiveTransfers& active);
    std::unique_ptr<Transfer> begin(UrlRequest request, Completion completion);
    void finish(std::unique_ptr<Transfer> transfer, CURLcode result);
};

namespace {

class ClockWaker final : public ClockListener {
public:
    explicit ClockWaker(std::weak_ptr<UrlSession::State> state) : state_(std::move(state)) {}
    void clockAdvanced() override {
        if (auto state = state_.lock()) {
            state->wake();
        }
    }

private:
    std::weak_ptr<UrlSession::State> state_;
};

// Why the trust store that SSL_CERT_FILE or SSL_CERT_DIR names cannot serve an https
// transfer, or nothing when it can. OpenSSL opens the file with a plain blocking open and
// reads it to its end, so a FIFO (or a device) would hold the session's thread outside
// every bound, and with it every later upload: the store is looked at before libcurl is.
std::optional<std::string> trustStoreProblem(const Url& url) {
    if (lowercase(url.string().substr(0, 8)) != "https://") {
        return std::nullopt;
    }
    const struct {
        const char* variable;
        mode_t type;
        const char* kind;
    } stores[] = {{"SSL_CERT_FILE", S_IFREG, "a regular file"}, {"SSL_CERT_DIR", S_IFDIR, "a directory"}};
    for (const auto& store : stores) {
        const char* path = std::getenv(store.variable);
        if (!path || !path[0]) {
            continue;
        }
        struct stat info {};
        if (::stat(path, &info) != 0) {
            return std::string("The trust store ") + store.variable + "=" + path +
                   " cannot be examined: " + std::strerror(errno);
        }
        if ((info.st_mode & S_IFMT) != store.type) {
            return std::string("The trust store ") + store.variable + "=" + path + " is not " + store.kind;
        }
    }
    return std::nullopt;
}

// The operator's own trust store, named as OpenSSL and curl name it, takes the place of the
// system's: a service behind a private authority trusts that one alone.
void setTrustStore(CURL* easy) {
    const char* certFile = std::getenv("SSL_CERT_FILE");
    const char* certDir = std::getenv("SSL_CERT_DIR");
    certFile = certFile && certFile[0] ? certFile : nullptr;
    certDir = certDir && certDir[0] ? certDir : nullptr;
    if (certFile || certDir) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, certFile);
        curl_easy_setopt(easy, CURLOPT_CAPATH, certDir);
    } else if (trustDirectoryPresent()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(easy, CURLOPT_CAPATH, TRUST_DIRECTORY);
    }
}

// Both bounds are kept by the session loop on the installed clock, not by libcurl's
// timeouts: its low-speed check averages over several seconds of real time, so a stall
// was only seen well after the bound, and a virtual clock was never seen at all.
void setCallbacks(CURL* easy, Transfer* transfer) {
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeaderBytes);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onResponseBytes);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer);
}

// `body` lives in the transfer, as long as libcurl may read it.
void setMethodAndBody(CURL* easy, const std::string& method, const std::string& body) {
    if (method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    } else if (method != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (!body.empty()) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        }
    }
}

}  // namespace

std::unique_ptr<Transfer> UrlSession::State::begin(UrlRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->completion = std::move(completion);
    transfer->body = std::move(request.httpBody);
    transfer->easy = curl_easy_init();
    CURL* easy = transfer->easy;
    if (!easy) {
        return transfer;
    }
    for (const auto& [field, value] : request.headers) {
        transfer->headers = curl_slist_append(transfer->headers, (field + ": " + value).c_str());
    }
    // libcurl would add these on its own; the session sends only what the caller set.
    transfer->headers = curl_slist_append(transfer->headers, "Expect:");
    transfer->headers = curl_slist_append(transfer->headers, "Accept:");

    transfer->stallBound = milliseconds(stallMilliseconds.load());
    transfer->wholeBound = milliseconds(transferMilliseconds.load());
    curl_easy_setopt(easy, CURLOPT_URL, request.url.string().c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorText);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (auto problem = trustStoreProblem(request.url)) {
        LUMVEX_LOG_ERROR("dataTask(with:completionHandler:)", *problem);
        std::snprintf(transfer->errorText, sizeof transfer->errorText, "%s", problem->c_str());
        transfer->refusal = CURLE_SSL_CACERT_BADFILE;
        return transfer;
    }
    setTrustStore(easy);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
    setCallbacks(easy, transfer.get());
    setMethodAndBody(easy, request.httpMethod, transfer->body);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    return transfer;
}

void UrlSession::State::finish(std::unique_ptr<Transfer> transfer, CURLcode result) {
    std::optional<HttpUrlResponse> response;
    if (transfer->easy) {
        long status = 0;
        if (curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0) {
            response = HttpUrlResponse{status};
        }
    }
    auto completion = std::move(transfer->completion);
    if (result == CURLE_OK) {
        auto data = std::move(transfer->data);
        transfer.reset();
        complete(completion, std::move(data), response, std::nullopt);
        return;
    }
    std::string description = transfer->errorText[0] ? transfer->errorText : curl_easy_strerror(result);
    transfer.reset();
    complete(completion, std::nullopt, response, UrlError{static_cast<int>(result), std::move(description)});
}

void UrlSession::State::wake() {
    // In a forked child the wakeup socket is shared with the parent's loop.
    const pid_t pid = threadPid.load();
    if (pid == 0 || pid != currentProcessId()) {
        return;
    }
    MutexLock guard(mutex);
    if (multi) {
        curl_multi_wakeup(multi);
    }
}

bool UrlSession::State::takeWork(const ActiveTransfers& active, Requests& incoming,
                                 std::deque<std::function<void()>>& work) {
    MutexLock lock(mutex);
    // Nothing in flight: sleep until there is work, not on a timeout.
    while (active.empty() && !stopping && pending.empty() && posted.empty()) {
        cv.wait(lock.native());
    }
    if (stopping) {
        return false;
    }
    incoming.swap(pending);
    work.swap(posted);
    return true;
}

void UrlSession::State::admit(CURLM* handle, Requests& incoming, Clock::TimePoint now,
                              ActiveTransfers& active) {
    for (auto& [request, completion] : incoming) {
        auto transfer = begin(std::move(request), std::move(completion));
        transfer->restartBounds(now);
        CURL* easy = transfer->easy;
        if (transfer->refusal != CURLE_OK) {
            const auto refusal = transfer->refusal;
            finish(std::move(transfer), refusal);
            continue;
        }
        if (!easy || curl_multi_add_handle(handle, easy) != CURLM_OK) {
            finish(std::move(transfer), CURLE_FAILED_INIT);
            continue;
        }
        active.emplace(easy, std::move(transfer));
    }
    incoming.clear();
}

namespace {

// Follows the installed clock: when another is installed, its moves wake the loop from now
// on, and the transfers in flight are given their whole bounds again, since time spent on
// another clock says nothing about this one.
void followInstalledClock(std::shared_ptr<Clock>& timeSource, const std::shared_ptr<ClockListener>& listener,
                          ActiveTransfers& active) {
    auto installed = clock();
    if (installed == timeSource) {
        return;
    }
    timeSource = std::move(installed);
    timeSource->addListener(listener);
    const auto now = timeSource->now();
    for (auto& entry : active) {
        entry.second->restartBounds(now);
    }
}

// The transfers that libcurl finished, out of the multi handle and `active`.
EndedTransfers takeFinished(CURLM* handle, ActiveTransfers& active) {
    EndedTransfers ended;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(handle, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(handle, easy);
        auto found = active.find(easy);
        if (found == active.end()) {
            continue;
        }
        ended.emplace_back(std::move(found->second), result);
        active.erase(found);
    }
    return ended;
}

// Moves the transfers whose bound ran out by `now` from `active` to `ended`.
void takeOverdue(CURLM* handle, Clock::TimePoint now, ActiveTransfers& active, EndedTransfers& ended) {
    for (auto it = active.begin(); it != active.end();) {
        Transfer& transfer = *it->second;
        if (transfer.moved) {
            transfer.moved = false;
            transfer.lastProgress = now;
        }
        if (!transfer.overdue(now)) {
            ++it;
            continue;
        }
        curl_multi_remove_handle(handle, it->first);
        ended.emplace_back(std::move(it->second), CURLE_OPERATION_TIMEDOUT);
        it = active.erase(it);
    }
}

// Returns on socket activity, on libcurl's own next deadline, at the nearest bound, or on a
// wakeup from dataTask, the destructor or a moved virtual clock.
void waitForActivity(CURLM* handle, const ActiveTransfers& active, Clock& timeSource) {
    auto deadline = Clock::TimePoint::max();
    for (const auto& entry : active) {
        deadline = std::min(deadline, entry.second->deadline());
    }
    const auto wait = std::chrono::ceil<milliseconds>(deadline - timeSource.now());
    const auto timeoutMs = static_cast<int>(
        std::clamp<milliseconds::rep>(wait.count(), 0, static_cast<milliseconds::rep>(INT_MAX)));
    curl_multi_poll(handle, nullptr, 0, timeoutMs, nullptr);
}

}  // namespace

void UrlSession::State::run() {
    // Marks the thread gone when host code ended it; a thread that ends as it should says
    // so itself (`exited`), and its exit may be joined under the lock.
    struct Gone {
        State& state;
        bool exited = false;
        ~Gone() {
            if (exited) {
                return;
            }
            MutexLock guard(state.mutex);
            state.gone = true;
            state.cv.notify_all();
        }
    } gone{*this};
    CURLM* handle = nullptr;
    std::shared_ptr<ClockListener> listener;
    {
        MutexLock lock(mutex);
        handle = multi;
        listener = clockListener;
    }
    ActiveTransfers active;
    // The clock the bounds run on: the installed one, as of the last round.
    std::shared_ptr<Clock> timeSource;
    Requests incoming;
    std::deque<std::function<void()>> work;
    while (takeWork(active, incoming, work)) {
        for (auto& item : work) {
            try {
                item();
            } catch (...) {
                // As a completion's: it ends here, not with the thread.
            }
        }
        work.clear();
        followInstalledClock(timeSource, listener, active);
        // Read before libcurl reads the sockets: whatever was in them by now counts as
        // progress made in time.
        const auto now = timeSource->now();
        admit(handle, incoming, now, active);
        int running = 0;
        curl_multi_perform(handle, &running);
        auto ended = takeFinished(handle, active);
        // The bounds are checked before any completion of this round runs, so that a
        // completion that follows a move of the clock comes after the check at that time.
        takeOverdue(handle, now, active, ended);
        for (auto& [transfer, result] : ended) {
            finish(std::move(transfer), result);
        }
        if (!active.empty()) {
            waitForActivity(handle, active, *timeSource);
        }
    }
    // The process is ending: transfers still in flight are dropped without completion.
    for (auto& entry : active) {
        curl_multi_remove_handle(handle, entry.first);
    }
    active.clear();
    gone.exited = true;
    MutexLock guard(mutex);
    curl_multi_cleanup(multi);
    multi = nullptr;
    exited = true;
    cv.notify_all();
}

bool UrlSession::State::startThread(const std::shared_ptr<State>& self) {
    if (thread.joinable()) {
        return true;
    }
    // libcurl's and the TLS library's global set-up pages in most of their code and data:
    // over 2 MiB that a host which uploads once a day need not hold from the start. An exit
    // that comes while it runs waits for this lock in `shutdown`.
    // Tried again by a later upload when it failed, for want of memory say.
    if (!globalReady) {
        globalReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        if (!globalReady) {
            return false;
        }
    }
    if (!multi) {
        multi = curl_multi_init();
        if (!multi) {
            return false;
        }
    }
    if (!clockListener) {
        clockListener = std::make_shared<ClockWaker>(self);
    }
    try {
        thread = Thread([self] { self->run(); });
    } catch (const std::system_error&) {
        return false;  // no thread to be had now (EAGAIN); the next upload tries again
    }
    pthread_setname_np(thread.native_handle(), "lumvex-http");
    threadPid.store(currentProcessId());
    noteLibraryThreadMade();
    return true;
}

UrlSession& UrlSession::shared() {
    // Never destroyed: the library's queue may still start an upload while the process
    // exits, after function statics are gone. Only the transfer thread is stopped at exit,
    // so that it does not run into libcurl's own exit clean-up.
    static UrlSession* session = [] {
        // The TLS library is set up with the first upload, possibly on the work queue while
        // the host exits; an exit handler of its own, registered then, would run before
        // the session's and tear the library down under a transfer in flight. Without it
        // the session's handler below is the one that ends the transfers.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        auto* created = new UrlSession();
        std::atexit([] { shared().shutdown(); });
        return created;
    }();
    return *session;
}

UrlSession::UrlSession() : state_(std::make_shared<State>()) {}

UrlSession::~UrlSession() {
    shutdown();
}

void UrlSession::shutdown() {
    // In a forked child the thread and libcurl's wakeup socket belong to the parent, and
    // the lock may have been held by that thread at the fork.
    if (state_->inForkedChild()) {
        return;
    }
    MutexLock lock(state_->mutex);
    if (state_->stopping) {
        return;
    }
    state_->stopping = true;
    if (!state_->thread.joinable()) {
        return;  // no upload ever started: nothing was set up
    }
    state_->cv.notify_all();
    if (state_->multi) {
        curl_multi_wakeup(state_->multi);
    }
    const bool onOwnThread = state_->thread.isCurrent();
    // A completion that never returns must not hold the process at exit.
    const auto giveUp = std::chrono::steady_clock::now() + EXIT_GRACE;
    while (!onOwnThread && !state_->exited && !state_->gone) {
        if (state_->cv.wait_until(lock.native(), giveUp) == std::cv_status::timeout) {
            break;
        }
    }
    const bool exited = !onOwnThread && state_->exited;
    // Joined or let go under the lock: `isCompletionThread` reads the thread meanwhile. Once
    // it has said it exited, the thread no longer needs the lock.
    if (exited) {
        state_->thread.join();
    } else {
        state_->thread.detach();  // the thread holds the state and ends on its own
    }
    lock.unlock();
    if (exited) {
        curl_global_cleanup();
    }
}

void UrlSession::dataTask(UrlRequest request, Completion completion) {
    if (state_->inForkedChild()) {
        return;
    }
    {
        MutexLock guard(state_->mutex);
        if (state_->stopping) {
            return;
        }
        if (state_->startThread(state_)) {
            state_->pending.emplace_back(std::move(request), std::move(completion));
            state_->cv.notify_all();
            curl_multi_wakeup(state_->multi);
            return;
        }
    }
    complete(completion, std::nullopt, std::nullopt,
             UrlError{CURLE_FAILED_INIT, "The HTTP layer cannot be set up, or its thread cannot be made"});
}

bool UrlSession::post(std::function<void()>& work) {
    if (state_->inForkedChild()) {
        return false;
    }
    MutexLock guard(state_->mutex);
    if (state_->stopping || !state_->thread.joinable() || !state_->multi) {
        return false;
    }
    state_->posted.push_back(std::move(work));
    state_->cv.notify_all();
    curl_multi_wakeup(state_->multi);
    return true;
}

bool UrlSession::isCompletionThread() const {
    MutexLock guard(state_->mutex);
    return state_->thread.isCurrent();
}

void UrlSession::setStallTimeout(std::optional<std::chrono::milliseconds> timeout) {
    stallMilliseconds.store(timeout ? std::max<milliseconds::rep>(1, timeout->count())
                                    : milliseconds(DEFAULT_STALL_TIMEOUT).count());
}

void UrlSession::setTransferTimeout(std::optional<std::chrono::milliseconds> timeout) {
    transferMilliseconds.store(timeout ? std::max<milliseconds::rep>(1, timeout->count())
                                       : milliseconds(DEFAULT_TRANSFER_TIMEOUT).count());
}

}  // namespace lumvex::platform
