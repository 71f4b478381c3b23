#include "Collector.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

extern char** environ;

#ifndef LUMVEX_COLLECTOR_PATH
// Built without the tools: look the collector up on the PATH.
#define LUMVEX_COLLECTOR_PATH "lumvex-collector"
#endif

namespace lumvex::test {

namespace {

size_t collect(char* bytes, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(bytes, size * count);
    return size * count;
}

/// Keeps the target of a `Link: <target>; rel="next"` header.
size_t collectLink(char* bytes, size_t size, size_t count, void* user) {
    const std::string line(bytes, size * count);
    if (line.size() > 5 && strncasecmp(line.c_str(), "link:", 5) == 0 &&
        line.find("rel=\"next\"") != std::string::npos) {
        const auto open = line.find('<');
        const auto close = line.find('>', open);
        if (open != std::string::npos && close != std::string::npos) {
            *static_cast<std::string*>(user) = line.substr(open + 1, close - open - 1);
        }
    }
    return size * count;
}

HttpResult perform(const std::string& url, const std::string* postBody, const std::string& contentType,
                   const std::string& trustedCertificate = "", const std::vector<std::string>& extra = {}) {
    HttpResult result;
    CURL* easy = curl_easy_init();
    if (!easy) {
        return result;
    }
    curl_slist* headers = nullptr;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &collectLink);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &result.nextPage);
    if (!trustedCertificate.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, trustedCertificate.c_str());
    }
    if (postBody) {
        headers = curl_slist_append(headers, ("Content-Type: " + contentType).c_str());
        for (const auto& header : extra) {
            headers = curl_slist_append(headers, header.c_str());
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postBody->size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, postBody->data());
    }
    if (curl_easy_perform(easy) == CURLE_OK) {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return result;
}

/// A TCP socket bound to 127.0.0.1 at a port that the system chooses.
int boundSocket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string localUrl(int port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

}  // namespace

HttpResult httpGet(const std::string& url, const std::string& trustedCertificate) {
    return perform(url, nullptr, "", trustedCertificate);
}

SelfSignedCertificate::SelfSignedCertificate() {
    std::vector<std::string> args = {"openssl",
                                     "req",
                                     "-x509",
                                     "-newkey",
                                     "ec",
                                     "-pkeyopt",
                                     "ec_paramgen_curve:prime256v1",
                                     "-nodes",
                                     "-days",
                                     "2",
                                     "-subj",
                                     "/CN=127.0.0.1",
                                     "-addext",
                                     "subjectAltName=IP:127.0.0.1",
                                     "-keyout",
                                     keyPath(),
                                     "-out",
                                     certificatePath()};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("openssl could not make a certificate");
    }
}

HttpResult httpPost(const std::string& url, const std::string& body, const std::string& contentType,
                    const std::vector<std::string>& headers) {
    return perform(url, &body, contentType, "", headers);
}

Collector::Collector() : Collector(Options{}) {}

Collector::Collector(Options options) {
    int pipeFds[2];
    int lifeline[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0 || ::pipe2(lifeline, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // The collector's standard input stays open exactly as long as this process, so a
    // test that dies leaves no collector behind.
    lifeline_ = lifeline[1];
    std::vector<std::string> args = {
        LUMVEX_COLLECTOR_PATH, "--port", "0", "--db", dir_.file("collector.sqlite"), "--quiet",
        "--until-stdin-closes"};
    if (options.status) {
        args.push_back("--status");
        args.push_back(std::to_string(*options.status));
    }
    if (std::find(options.arguments.begin(), options.arguments.end(), "--listed-fixes") ==
        options.arguments.end()) {
        args.insert(args.end(), {"--listed-fixes", "1000000000"});
    }
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    if (options.tls) {
        args.insert(args.end(),
                    {"--tls-cert", options.tls->certificatePath(), "--tls-key", options.tls->keyPath()});
        scheme_ = "https";
        trusted_ = options.tls->certificatePath();
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, lifeline[0], STDIN_FILENO);
    const int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    ::close(lifeline[0]);
    output_ = pipeFds[0];
    if (rc != 0) {
        ::close(output_);
        ::close(lifeline_);
        throw std::runtime_error(std::string("cannot start the collector: ") + std::strerror(rc));
    }

    // The collector's first line names the address it listens on.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[256];
        const ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        line.append(buffer, static_cast<size_t>(n));
    }
    const auto marker = line.find("://127.0.0.1:");
    if (marker != std::string::npos) {
        port_ = std::atoi(line.c_str() + marker + std::strlen("://127.0.0.1:"));
    }
    if (port_ <= 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(output_);
        ::close(lifeline_);
        throw std::runtime_error("the collector did not report its port: " + line);
    }
}

CommandResult runCollectorCommand(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    std::vector<std::string> all = {LUMVEX_COLLECTOR_PATH, "--until-stdin-closes"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(errorPipe[1]);
    if (rc != 0) {
        ::close(errorPipe[0]);
        throw std::runtime_error(std::string("cannot start the collector: ") + std::strerror(rc));
    }
    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ended = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{errorPipe[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[256];
        const ssize_t n = ::read(errorPipe[0], buffer, sizeof buffer);
        if (n <= 0) {
            ended = true;  // the collector closed its standard error: it has ended
            break;
        }
        result.errors.append(buffer, static_cast<size_t>(n));
    }
    ::close(errorPipe[0]);
    if (!ended) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Collector::~Collector() {
    // The database is thrown away with the folder, so nothing needs a clean shutdown.
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(output_);
    ::close(lifeline_);
}

std::string Collector::baseUrl() const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/";
}

nlohmann::json Collector::uploads(const std::string& apiKey) const {
    char* escaped = curl_easy_escape(nullptr, apiKey.c_str(), static_cast<int>(apiKey.size()));
    std::string target = "uploads?key=" + std::string(escaped ? escaped : "");
    curl_free(escaped);
    auto all = nlohmann::json::array();
    while (!target.empty()) {
        const auto result = httpGet(baseUrl() + (target[0] == '/' ? target.substr(1) : target), trusted_);
        if (result.status != 200) {
            throw std::runtime_error("the collector did not list its uploads");
        }
        const auto page = nlohmann::json::parse(result.body);
        all.insert(all.end(), page.begin(), page.end());
        target = result.nextPage;
    }
    return all;
}

std::map<std::string, int> Collector::keptPerKey() const {
    std::map<std::string, int> out;
    for (const auto& upload : uploads()) {
        ++out[upload.at("idempotency_key").get<std::string>()];
    }
    return out;
}

nlohmann::json Collector::summary() const {
    auto all = nlohmann::json::object();
    std::string target = "summary";
    while (!target.empty()) {
        const auto result = httpGet(baseUrl() + (target[0] == '/' ? target.substr(1) : target), trusted_);
        if (result.status != 200) {
            throw std::runtime_error("the collector did not give its summary");
        }
        const auto page = nlohmann::json::parse(result.body);
        for (const auto& [key, devices] : page.items()) {
            for (const auto& [device, row] : devices.items()) {
                all[key][device] = row;
            }
        }
        target = result.nextPage;
    }
    return all;
}

namespace {

/// Runs `args` (as "nobody" when we are root) with its output in `log`; whether it exited 0.
bool runAsServerUser(std::vector<std::string> args, const std::string& log) {
    if (::geteuid() == 0) {
        args.insert(args.begin(), {"runuser", "-u", "nobody", "--"});
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0666);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string PostgresServer::programs() {
    for (const char* version : {"17", "16", "15", "14", "13"}) {
        const std::string bin = std::string("/usr/lib/postgresql/") + version + "/bin";
        if (::access((bin + "/initdb").c_str(), X_OK) == 0 &&
            ::access((bin + "/pg_ctl").c_str(), X_OK) == 0) {
            return bin;
        }
    }
    return "";
}

PostgresServer::PostgresServer() : bin_(programs()) {
    if (bin_.empty()) {
        throw std::runtime_error("PostgreSQL is not installed");
    }
    // The server's own user must be able to write here; the folder is ours alone anyway.
    ::chmod(dir_.path().c_str(), 0777);
    const auto log = dir_.file("server.log");
    if (!runAsServerUser({bin_ + "/initdb", "-D", dir_.file("data"), "-E", "UTF8", "--locale=C", "-A",
                          "trust", "-U", "collector"},
                         log) ||
        !runAsServerUser(
            {bin_ + "/pg_ctl", "-D", dir_.file("data"), "-l", dir_.file("postgres.log"), "-w", "-t", "60",
             "-o", "-k " + dir_.path() + " -c listen_addresses= -p 5432 -c fsync=on", "start"},
            log)) {
        throw std::runtime_error("PostgreSQL did not start; see " + log);
    }
}

PostgresServer::~PostgresServer() {
    runAsServerUser({bin_ + "/pg_ctl", "-D", dir_.file("data"), "-m", "immediate", "-w", "stop"},
                    "/dev/null");
}

std::string PostgresServer::uri() const {
    return "postgresql://collector@/postgres?host=" + dir_.path() + "&port=5432";
}

void PostgresServer::signalAll(int signal) const {
    std::ifstream pidFile(dir_.file("data/postmaster.pid"));
    pid_t server = 0;
    pidFile >> server;
    if (server <= 0) {
        return;
    }
    ::kill(server, signal);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("PPid:", 0) == 0) {
                if (std::atoi(line.c_str() + 5) == server) {
                    ::kill(std::atoi(entry.path().filename().c_str()), signal);
                }
                break;
            }
        }
    }
}

bool PostgresServer::restart() const {
    return runAsServerUser({bin_ + "/pg_ctl", "-D", dir_.file("data"), "-l", dir_.file("postgres.log"), "-w",
                            "-t", "60", "-m", "fast", "restart"},
                           dir_.file("server.log"));
}

RefusingPort::RefusingPort() {
    fd_ = boundSocket(port_);
}
RefusingPort::~RefusingPort() {
    ::close(fd_);
}
std::string RefusingPort::baseUrl() const {
    return localUrl(port_);
}

SilentServer::SilentServer() {
    fd_ = boundSocket(port_);
    // The kernel completes connections into the backlog; nobody ever accepts them.
    ::listen(fd_, 16);
}
SilentServer::~SilentServer() {
    ::close(fd_);
}
std::string SilentServer::baseUrl() const {
    return localUrl(port_);
}

ManualServer::ManualServer() {
    fd_ = boundSocket(port_);
    ::listen(fd_, 16);
}

ManualServer::~ManualServer() {
    closeClient(false);
    ::close(fd_);
}

std::string ManualServer::baseUrl() const {
    return localUrl(port_);
}

bool ManualServer::acceptRequest(std::chrono::milliseconds timeout) {
    closeClient(false);
    request_.clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto left = [&] {
        return static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           deadline - std::chrono::steady_clock::now())
                                                           .count()));
    };
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, left()) <= 0) {
        return false;
    }
    client_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0) {
        return false;
    }
    std::size_t wanted = std::string::npos;
    while (request_.size() < wanted) {
        pollfd in{client_, POLLIN, 0};
        if (::poll(&in, 1, left()) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::read(client_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        request_.append(buffer, static_cast<size_t>(n));
        const auto end = request_.find("\r\n\r\n");
        if (wanted == std::string::npos && end != std::string::npos) {
            std::size_t length = 0;
            for (const char* name : {"Content-Length: ", "content-length: "}) {
                const auto at = request_.find(name);
                if (at != std::string::npos && at < end) {
                    length = std::strtoul(request_.c_str() + at + std::strlen(name), nullptr, 10);
                }
            }
            wanted = end + 4 + length;
        }
    }
    return true;
}

bool ManualServer::connectionWaiting(std::chrono::milliseconds timeout) const {
    pollfd pfd{fd_, POLLIN, 0};
    return ::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0;
}

HttpResult ManualServer::forwardTo(const Collector& collector) const {
    const auto headerEnd = request_.find("\r\n\r\n");
    const auto targetStart = request_.find(" /");
    const auto targetEnd = request_.find(' ', targetStart + 1);
    if (headerEnd == std::string::npos || targetStart == std::string::npos || targetEnd > headerEnd) {
        return {};
    }
    std::vector<std::string> headers;
    std::size_t at = request_.find("\r\n") + 2;
    while (at < headerEnd) {
        const auto end = request_.find("\r\n", at);
        const auto line = request_.substr(at, end - at);
        if (strncasecmp(line.c_str(), "Idempotency-Key:", 16) == 0) {
            headers.push_back(line);
        }
        at = end + 2;
    }
    return httpPost(collector.baseUrl() + request_.substr(targetStart + 2, targetEnd - targetStart - 2),
                    request_.substr(headerEnd + 4), "application/json", headers);
}

void ManualServer::respond(int status) {
    const std::string body = "{}";
    const std::string answer =
        "HTTP/1.1 " + std::to_string(status) +
        " Status\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    std::size_t sent = 0;
    while (client_ >= 0 && sent < answer.size()) {
        const ssize_t n = ::send(client_, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    closeClient(false);
}

void ManualServer::reset() {
    closeClient(true);
}

bool ManualServer::send(const std::string& bytes) {
    std::size_t sent = 0;
    while (client_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return client_ >= 0;
}

bool ManualServer::startChunkedAnswer(int status) {
    return send("HTTP/1.1 " + std::to_string(status) +
                " Status\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
}

bool ManualServer::sendChunk(const std::string& data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return send(std::string(size) + data + "\r\n");
}

void ManualServer::close() {
    closeClient(false);
}

void ManualServer::closeClient(bool hard) {
    if (client_ < 0) {
        return;
    }
    if (hard) {
        // Closing with a zero linger time sends a reset instead of an orderly end.
        linger immediate{1, 0};
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
    }
    ::close(client_);
    client_ = -1;
}

FaultingProxy::FaultingProxy(const Collector& collector, std::function<Answer()> decide)
    : collector_(collector), decide_(std::move(decide)), thread_([this] { serve(); }) {}

FaultingProxy::~FaultingProxy() {
    over_ = true;
    thread_.join();
}

std::map<std::string, int> FaultingProxy::answers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return answers_;
}

void FaultingProxy::serve() {
    while (!over_) {
        // A short look for a client, so that the proxy ends soon after it is told; a
        // client that then sends slowly (stopped halfway) gets longer.
        if (!server_.connectionWaiting(std::chrono::milliseconds(100)) ||
            !server_.acceptRequest(std::chrono::seconds(5))) {
            continue;
        }
        const auto& request = server_.request();
        std::string key;
        const auto keyAt = request.find(std::string("\r\n") + "Idempotency-Key: ");
        if (keyAt != std::string::npos) {
            const auto from = keyAt + std::strlen("\r\nIdempotency-Key: ");
            key = request.substr(from, request.find("\r\n", from) - from);
        }
        auto answer = decide_();
        if (answer == Answer::clientError && kept_.count(key) > 0) {
            answer = Answer::passedOn;
        }
        std::string name;
        switch (answer) {
            case Answer::passedOn: {
                const auto result = server_.forwardTo(collector_);
                if (result.status == 200) {
                    kept_.insert(key);
                }
                server_.respond(result.status != 0 ? static_cast<int>(result.status) : 502);
                name = "passed on";
                break;
            }
            case Answer::clientError:
                server_.respond(400);
                name = "400";
                break;
            case Answer::serverError:
                server_.respond(503);
                name = "503";
                break;
            case Answer::nothing:
                server_.reset();
                name = "reset";
                break;
            case Answer::cutOff:
                if (server_.forwardTo(collector_).status == 200) {
                    kept_.insert(key);
                }
                server_.send("HTTP/1.1 200 OK\r\nContent-Le");
                server_.reset();
                name = "cut off";
                break;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        ++answers_[name];
    }
}

}  // namespace lumvex::test
