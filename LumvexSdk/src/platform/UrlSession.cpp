#include "platform/UrlSession.h"

#include "platform/Process.h"
#include "platform/Thread.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace lumvex::platform {

namespace {

std::atomic<long> stallSeconds{UrlSession::DEFAULT_STALL_TIMEOUT.count()};
std::atomic<long> transferMilliseconds{
    std::chrono::duration_cast<std::chrono::milliseconds>(UrlSession::DEFAULT_TRANSFER_TIMEOUT).count()};

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
    return length;  // the rest is read and dropped, never refused
}

/// Calls a completion; what it throws ends there, so that one faulty completion cannot
/// take the session's thread, and every later upload, down with it.
void complete(const UrlSession::Completion& completion, std::optional<UrlResponseData> data,
              std::optional<HttpUrlResponse> response, std::optional<UrlError> error) {
    try {
        completion(std::move(data), response, std::move(error));
    } catch (...) {
    }
}

}  // namespace

struct UrlSession::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::pair<UrlRequest, Completion>> pending;  // guarded by mutex
    bool stopping = false;                                  // guarded by mutex
    bool exited = false;                                    // guarded by mutex
    bool globalReady = false;  // libcurl's global set-up is done; guarded by mutex
    CURLM* multi = nullptr;    // made before the thread starts, ended by it; guarded by mutex
    Thread thread;             // made by the first task; guarded by mutex
    // The process in which the thread runs, 0 before it is made. Read without the lock: in
    // a forked child the thread may have held it at the fork.
    std::atomic<pid_t> threadPid{0};

    bool startThread(const std::shared_ptr<State>& self);
    void run();
    std::unique_ptr<Transfer> begin(UrlRequest request, Completion completion);
    void finish(std::unique_ptr<Transfer> transfer, CURLcode result);
};

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

    const long stall = stallSeconds.load();
    curl_easy_setopt(easy, CURLOPT_URL, request.url.string().c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorText);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (trustDirectoryPresent()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(easy, CURLOPT_CAPATH, TRUST_DIRECTORY);
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
    // Give up after a whole stall period without a byte moving, while connecting too.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, stall);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stall);
    // A server that keeps the answer trickling in passes the stall bound for ever; this
    // one ends the upload, so that its socket is freed and its fixes go out with the next.
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, transferMilliseconds.load());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onResponseBytes);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    if (request.httpMethod == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer->body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.data());
    } else if (request.httpMethod != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.httpMethod.c_str());
        if (!transfer->body.empty()) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(transfer->body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.data());
        }
    }
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

void UrlSession::State::run() {
    std::map<CURL*, std::unique_ptr<Transfer>> active;
    while (true) {
        std::deque<std::pair<UrlRequest, Completion>> incoming;
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (active.empty()) {
                // Nothing in flight: sleep until there is work, not on a timeout.
                cv.wait(lock, [&] { return stopping || !pending.empty(); });
            }
            if (stopping) {
                break;
            }
            incoming.swap(pending);
        }
        for (auto& [request, completion] : incoming) {
            auto transfer = begin(std::move(request), std::move(completion));
            CURL* easy = transfer->easy;
            if (!easy || curl_multi_add_handle(multi, easy) != CURLM_OK) {
                finish(std::move(transfer), CURLE_FAILED_INIT);
                continue;
            }
            active.emplace(easy, std::move(transfer));
        }
        incoming.clear();

        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            curl_multi_remove_handle(multi, easy);
            auto found = active.find(easy);
            if (found == active.end()) {
                continue;
            }
            auto transfer = std::move(found->second);
            active.erase(found);
            finish(std::move(transfer), result);
        }
        if (!active.empty()) {
            // Returns on socket activity, on libcurl's own next deadline (which the bound
            // only caps) or on a wakeup from dataTask or the destructor.
            curl_multi_poll(multi, nullptr, 0, 30000, nullptr);
        }
    }
    // The process is ending: transfers still in flight are dropped without completion.
    for (auto& entry : active) {
        curl_multi_remove_handle(multi, entry.first);
    }
    active.clear();
    std::lock_guard<std::mutex> guard(mutex);
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
    const pid_t threadPid = state_->threadPid.load();
    if (threadPid != 0 && threadPid != currentProcessId()) {
        return;
    }
    std::unique_lock<std::mutex> lock(state_->mutex);
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
    const bool exited = !onOwnThread && state_->cv.wait_for(lock, EXIT_GRACE, [&] { return state_->exited; });
    lock.unlock();
    if (exited) {
        state_->thread.join();
        curl_global_cleanup();
    } else {
        state_->thread.detach();  // the thread holds the state and ends on its own
    }
}

void UrlSession::dataTask(UrlRequest request, Completion completion) {
    const pid_t threadPid = state_->threadPid.load();
    if (threadPid != 0 && threadPid != currentProcessId()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
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

bool UrlSession::isCompletionThread() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->thread.isCurrent();
}

void UrlSession::setStallTimeoutForTesting(std::optional<std::chrono::seconds> timeout) {
    const auto seconds = timeout ? std::max<long>(1, static_cast<long>(timeout->count()))
                                 : static_cast<long>(DEFAULT_STALL_TIMEOUT.count());
    stallSeconds.store(seconds);
}

void UrlSession::setTransferTimeoutForTesting(std::optional<std::chrono::milliseconds> timeout) {
    const auto milliseconds =
        timeout
            ? std::max<long>(1, static_cast<long>(timeout->count()))
            : static_cast<long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(DEFAULT_TRANSFER_TIMEOUT).count());
    transferMilliseconds.store(milliseconds);
}

}  // namespace lumvex::platform
