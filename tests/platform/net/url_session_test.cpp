#include "platform/base/L.h"
#include "platform/net/UrlSession.h"

#include "Collector.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"
#include "UploadTestAccess.h"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using lumvex::platform::HttpUrlResponse;
using lumvex::platform::Url;
using lumvex::platform::UrlError;
using lumvex::platform::UrlRequest;
using lumvex::platform::UrlResponseData;
using lumvex::platform::UrlSession;
using lumvex::platform::UrlSessionTestAccess;
using namespace lumvex::test;

namespace {

/// What one completion reported, and on which thread.
struct Outcome {
    std::optional<UrlResponseData> data;
    std::optional<HttpUrlResponse> response;
    std::optional<UrlError> error;
    bool onSessionThread = false;
};

/// A transfer under way; shared with its completion, which may outlive a failed wait.
struct Started {
    std::mutex mutex;
    Outcome outcome;
    Signal done;

    Outcome result() {
        std::lock_guard<std::mutex> guard(mutex);
        return outcome;
    }
};

std::shared_ptr<Started> start(UrlRequest request) {
    auto started = std::make_shared<Started>();
    UrlSession::shared().dataTask(std::move(request), [started](auto data, auto response, auto error) {
        {
            std::lock_guard<std::mutex> guard(started->mutex);
            started->outcome.data = std::move(data);
            started->outcome.response = response;
            started->outcome.error = std::move(error);
            started->outcome.onSessionThread = UrlSession::shared().isCompletionThread();
        }
        started->done.notify();
    });
    return started;
}

/// Runs one transfer and waits for its completion.
Outcome transfer(UrlRequest request) {
    auto started = start(std::move(request));
    EXPECT_TRUE(started->done.wait(std::chrono::seconds(20)));
    return started->result();
}

UrlRequest post(const std::string& url, const std::string& body) {
    auto parsed = Url::parse(url);
    EXPECT_TRUE(parsed) << url;
    UrlRequest request(*parsed);
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.httpBody = body;
    return request;
}

const std::string UPLOAD =
    R"({"mac":"020000000000","google_aid":"noid","locations":[{"timestamp":"1","lat":"2","lng":"3"}],)"
    R"("devices_infos":{}})";

}  // namespace

TEST(Url, ParsesOnlyAbsoluteHttpUrls) {
    EXPECT_TRUE(Url::parse("http://127.0.0.1:8710/api/v1/key/send_locations"));
    EXPECT_TRUE(Url::parse("https://example.com/"));
    EXPECT_TRUE(Url::parse("HTTPS://example.com/"));
    EXPECT_FALSE(Url::parse(""));
    EXPECT_FALSE(Url::parse("127.0.0.1:8710/api"));
    EXPECT_FALSE(Url::parse("/api/v1/key/send_locations"));
    EXPECT_FALSE(Url::parse("ftp://example.com/"));
    EXPECT_FALSE(Url::parse("file:///etc/passwd"));
    EXPECT_FALSE(Url::parse("http://example.com/a b"));
    EXPECT_FALSE(Url::parse("http://"));
}

TEST(UrlSession, PostsTheBodyWithOnlyTheCallersHeaderAndReportsOnItsOwnThread) {
    Collector collector;
    const auto outcome = transfer(post(collector.baseUrl() + "api/v1/k1/send_locations", UPLOAD));
    ASSERT_FALSE(outcome.error) << to_string(outcome.error);
    ASSERT_TRUE(outcome.data);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode, 200);
    EXPECT_TRUE(outcome.onSessionThread);
    EXPECT_FALSE(UrlSession::shared().isCompletionThread());

    const auto uploads = collector.uploads("k1");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0]["body"], nlohmann::json::parse(UPLOAD));
    EXPECT_EQ(uploads[0]["content_type"], "application/json");
    EXPECT_EQ(uploads[0]["user_agent"], "");
}

TEST(UrlSession, ReportsAnHttpFailureAsAResponseWithData) {
    Collector collector;
    const auto outcome = transfer(post(collector.baseUrl() + "api/v1/k1/send_locations", "{not json"));
    EXPECT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode, 400);
    ASSERT_TRUE(outcome.data);
    EXPECT_NE(outcome.data->prefix.find("not JSON"), std::string::npos) << outcome.data->prefix;
}

TEST(UrlSession, KeepsOnlyTheStartOfALargeAnswer) {
    Collector collector;
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(httpPost(collector.baseUrl() + "api/v1/big/send_locations", UPLOAD).status, 200);
    }
    auto parsed = Url::parse(collector.baseUrl() + "uploads");
    const auto outcome = transfer(UrlRequest(*parsed));
    ASSERT_TRUE(outcome.data);
    EXPECT_GT(outcome.data->totalBytes, UrlResponseData::RETAINED_BYTES);
    EXPECT_EQ(outcome.data->prefix.size(), UrlResponseData::RETAINED_BYTES);
    EXPECT_EQ(outcome.data->prefix,
              httpGet(collector.baseUrl() + "uploads").body.substr(0, UrlResponseData::RETAINED_BYTES));
}

TEST(UrlSession, TransportFailuresComeWithAnErrorAndNoData) {
    {
        RefusingPort refusing;
        const auto outcome = transfer(post(refusing.baseUrl() + "api/v1/k/send_locations", UPLOAD));
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, CURLE_COULDNT_CONNECT);
        EXPECT_FALSE(outcome.data);
        EXPECT_FALSE(outcome.response);
        EXPECT_TRUE(outcome.onSessionThread);
    }
    {
        ManualServer resetting;
        auto started = start(post(resetting.baseUrl() + "api/v1/k/send_locations", UPLOAD));
        ASSERT_TRUE(resetting.acceptRequest());
        resetting.reset();
        ASSERT_TRUE(started->done.wait(std::chrono::seconds(20)));
        const auto outcome = started->result();
        ASSERT_TRUE(outcome.error);
        EXPECT_FALSE(outcome.data);
    }
}

// The stall bound runs on the installed clock, from the last byte that moved, and holds up
// no other transfer.
TEST(UrlSession, GivesUpOnAServerThatNeverAnswers) {
    using namespace std::chrono_literals;
    Collector collector;
    {
        TaskEnvironment env;
        ManualServer server;  // reads the request and never answers
        auto stalled = start(post(server.baseUrl() + "api/v1/k/send_locations", UPLOAD));
        ASSERT_TRUE(server.acceptRequest());
        // Lets the session see the request go out before time moves.
        EXPECT_FALSE(transfer(post(collector.baseUrl() + "api/v1/k/send_locations", UPLOAD)).error);

        env.clock().advance(UrlSession::DEFAULT_STALL_TIMEOUT - 1ms);
        EXPECT_FALSE(transfer(post(collector.baseUrl() + "api/v1/k/send_locations", UPLOAD)).error);
        EXPECT_EQ(stalled->done.count(), 0) << "gave up before the bound";
        env.clock().advance(1ms);
        ASSERT_TRUE(stalled->done.wait(20s));
        const auto outcome = stalled->result();
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, CURLE_OPERATION_TIMEDOUT);
        EXPECT_NE(to_string(outcome.error).rfind("Optional(", 0), std::string::npos);
        EXPECT_FALSE(outcome.data);
    }
    {
        // On the system clock nothing wakes the session but the bound itself.
        UrlSessionTestAccess::setStallTimeout(100ms);
        SilentServer silent;
        auto stalled = start(post(silent.baseUrl() + "api/v1/k/send_locations", UPLOAD));
        const bool ended = stalled->done.wait(20s);
        UrlSessionTestAccess::setStallTimeout(std::nullopt);
        ASSERT_TRUE(ended);
        const auto outcome = stalled->result();
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, CURLE_OPERATION_TIMEDOUT);
    }
}

TEST(UrlSession, AnswersManyTransfersStartedFromSeveralThreads) {
    Collector collector;
    constexpr int THREADS = 4;
    constexpr int EACH = 5;
    std::mutex mutex;
    int succeeded = 0;
    Signal done;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < EACH; ++i) {
                UrlSession::shared().dataTask(
                    post(collector.baseUrl() + "api/v1/t" + std::to_string(t) + "/send_locations", UPLOAD),
                    [&](auto, auto response, auto error) {
                        std::lock_guard<std::mutex> guard(mutex);
                        if (!error && response && response->statusCode == 200) {
                            ++succeeded;
                        }
                        done.notify();
                    });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(waitUntil([&] { return done.count() == THREADS * EACH; }, std::chrono::seconds(30)));
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(succeeded, THREADS * EACH);
    EXPECT_EQ(collector.uploads().size(), static_cast<size_t>(THREADS * EACH));
}

// The session lives for the process; ending the process must not wait for the network
// or for a completion that never returns.
TEST(UrlSessionDeathTest, TheProcessEndsPromptlyWithATransferInFlight) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SilentServer silent;
            UrlSession::shared().dataTask(
                post(silent.baseUrl() + "api/v1/k/send_locations", UPLOAD),
                [](auto, auto, auto) { std::fputs("completed at exit\n", stderr); });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST(UrlSessionDeathTest, TheProcessEndsWhileACompletionIsStuck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Collector collector;
            Signal entered;
            UrlSession::shared().dataTask(post(collector.baseUrl() + "api/v1/k/send_locations", UPLOAD),
                                          [&](auto, auto, auto) {
                                              entered.notify();
                                              Signal never;
                                              never.wait(std::chrono::hours(1));
                                          });
            entered.wait();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST(UrlSession, ACompletionThatThrowsDoesNotStopTheSession) {
    Collector collector;
    Signal thrown;
    UrlSession::shared().dataTask(post(collector.baseUrl() + "api/v1/k/send_locations", UPLOAD),
                                  [&](auto, auto, auto) {
                                      thrown.notify();
                                      throw std::runtime_error("from a completion");
                                  });
    ASSERT_TRUE(thrown.wait());
    const auto next = transfer(post(collector.baseUrl() + "api/v1/k/send_locations", UPLOAD));
    EXPECT_FALSE(next.error);
    EXPECT_TRUE(next.onSessionThread);
}

// An operator's own trust store, named as OpenSSL's tools name it, replaces the system's:
// as a bundle file or as a hashed directory; one that lacks the server's certificate fails,
// and one that is not a file (or not a directory) is refused before anything opens it.
TEST(UrlSession, HttpsTrustsTheStoreThatSslCertFileOrDirNames) {
    SelfSignedCertificate certificate;
    SelfSignedCertificate stranger;
    Collector collector(Collector::Options{std::nullopt, &certificate});
    TempDir hashed;
    {
        const std::string command = "openssl x509 -hash -noout -in " + certificate.certificatePath();
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char hash[64] = {};
        const bool read = std::fgets(hash, sizeof(hash), pipe) != nullptr;
        ::pclose(pipe);
        ASSERT_TRUE(read);
        std::string name(hash);
        name.erase(name.find_last_not_of("\n") + 1);
        writeFile(hashed.file(name + ".0"), readFile(certificate.certificatePath()));
    }
    // Opening a FIFO without a writer never returns.
    TempDir other;
    const auto fifo = other.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* file;
        std::string value;
        int failure;      // libcurl's code; 0 when trusted
        std::string why;  // what the error and the log say, when refused
    };
    const std::vector<Case> cases = {
        {"SSL_CERT_FILE", "", 60, ""},  // the system's store knows nothing of the test's certificate
        {"SSL_CERT_FILE", certificate.certificatePath(), 0, ""},
        {"SSL_CERT_DIR", hashed.path(), 0, ""},
        {"SSL_CERT_FILE", stranger.certificatePath(), 60, ""},
        {"SSL_CERT_FILE", fifo, 77, "The trust store SSL_CERT_FILE=" + fifo + " is not a regular file"},
        {"SSL_CERT_DIR", certificate.certificatePath(), 77,
         "The trust store SSL_CERT_DIR=" + certificate.certificatePath() + " is not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + "=" + c.value);
        c.value.empty() ? ::unsetenv(c.file) : ::setenv(c.file, c.value.c_str(), 1);
        std::mutex logged;
        std::string log;
        lumvex::L::setHandler([&](lumvex::L::Level, std::string_view line) {
            std::lock_guard<std::mutex> guard(logged);
            log.append(line).append("\n");
        });
        lumvex::L::writeLog = true;
        const auto outcome = transfer(post(collector.baseUrl() + "api/v1/k1/send_locations", UPLOAD));
        lumvex::L::writeLog = false;
        lumvex::L::setHandler({});
        ::unsetenv(c.file);
        if (c.failure == 0) {
            ASSERT_FALSE(outcome.error) << to_string(outcome.error);
            ASSERT_TRUE(outcome.response);
            EXPECT_EQ(outcome.response->statusCode, 200);
            continue;
        }
        ASSERT_TRUE(outcome.error);
        EXPECT_NE(to_string(outcome.error).find("code: " + std::to_string(c.failure)), std::string::npos)
            << to_string(outcome.error);
        if (!c.why.empty()) {
            EXPECT_NE(to_string(outcome.error).find(c.why), std::string::npos) << to_string(outcome.error);
            EXPECT_NE(log.find(" ERROR: " + c.why + "!!"), std::string::npos) << log;
        }
    }
}
