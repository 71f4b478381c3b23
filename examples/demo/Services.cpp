#include "Services.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace demo {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::string::size_type start = 0;
    while (true) {
        const auto at = text.find(separator, start);
        out.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return out;
        }
        start = at + 1;
    }
}

std::string join(const std::vector<std::string>& parts, char separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += parts[i];
    }
    return out;
}

/// `sentence` ("$...*hh", without line end) with its time of day and date replaced by
/// `now`, and its checksum made anew.
std::string restamp(const std::string& sentence, const CivilTime& now, int centiseconds) {
    const auto star = sentence.find('*');
    if (sentence.size() < 7 || sentence[0] != '$' || star == std::string::npos) {
        return sentence;
    }
    auto fields = split(sentence.substr(1, star - 1), ',');
    const std::string type = fields[0].size() >= 5 ? fields[0].substr(2, 3) : "";
    char time[48];
    std::snprintf(time, sizeof time, "%02d%02d%02d.%02d", now.hour, now.minute, now.second, centiseconds);
    char date[32];
    std::snprintf(date, sizeof date, "%02d%02d%02d", now.day, now.month, now.year % 100);
    if ((type == "GGA" || type == "RMC") && fields.size() > 1) {
        fields[1] = time;
    }
    if (type == "RMC" && fields.size() > 9) {
        fields[9] = date;
    }
    const std::string body = join(fields, ',');
    unsigned char sum = 0;
    for (const char c : body) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail;
}

}  // namespace

// ---- Child ------------------------------------------------------------------------------

Child::~Child() {
    stop();
}

namespace {

// What the supervisor (see Child::spawn) forwards SIGTERM to. Only ever set in a
// supervisor process, which has no other threads.
volatile pid_t supervised = -1;

void forwardTerm(int) {
    if (supervised > 0) {
        ::kill(supervised, SIGTERM);
    }
}

}  // namespace

bool Child::spawn(const std::vector<std::string>& argv, int in, int out, int err, std::string& error) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    // An exec failure travels back through a close-on-exec pipe.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    // The program runs under a small supervisor, a forked copy of this process that stays
    // as it is: it gets SIGTERM when the demo dies however it dies, and passes it on. The
    // program itself cannot be told directly, since gpsd started as root gives up its
    // privileges, and that clears the kernel's parent-death signal.
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls in here: the parent has threads. SIGTERM stays
        // blocked (as in the demo's threads) until the handler can pass it on.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(in >= 0 ? in : null, STDIN_FILENO);
        ::dup2(out >= 0 ? out : null, STDOUT_FILENO);
        ::dup2(err >= 0 ? err : null, STDERR_FILENO);
        const pid_t program = ::fork();
        if (program == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            ::execvp(args[0], args.data());
            const int code = errno;
            [[maybe_unused]] auto written = ::write(report[1], &code, sizeof code);
            ::_exit(127);
        }
        // Nothing of the demo's stays open here: its pipes must end with the demo.
        ::syscall(SYS_close_range, 3U, ~0U, 0U);
        if (program < 0) {
            ::_exit(127);
        }
        supervised = program;
        struct sigaction action {};
        action.sa_handler = forwardTerm;
        ::sigaction(SIGTERM, &action, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int status = 0;
        while (::waitpid(program, &status, 0) < 0 && errno == EINTR) {
        }
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    ::close(report[1]);
    int code = 0;
    ssize_t n;
    while ((n = ::read(report[0], &code, sizeof code)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof code)) {
        ::waitpid(pid, nullptr, 0);
        error = "cannot run " + argv[0] + ": " + std::strerror(code);
        return false;
    }
    pid_ = pid;
    return true;
}

bool Child::exited(int* status) {
    if (pid_ <= 0) {
        return true;
    }
    int s = 0;
    if (::waitpid(pid_, &s, WNOHANG) == pid_) {
        pid_ = -1;
        if (status) {
            *status = s;
        }
        return true;
    }
    return false;
}

int Child::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return -1;
    }
    // The supervisor leads the program's process group.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    ::kill(-pid_, SIGTERM);
    bool ended = false;
    if (pidfd >= 0) {
        pollfd pfd{pidfd, POLLIN, 0};
        ended = ::poll(&pfd, 1, static_cast<int>(grace.count())) > 0;
        ::close(pidfd);
    }
    if (!ended) {
        ::kill(-pid_, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

// ---- LineTap ----------------------------------------------------------------------------

LineTap::LineTap(int fd, std::function<void(const std::string&)> onLine)
    : fd_(fd), onLine_(std::move(onLine)), thread_([this] { run(); }) {}

LineTap::~LineTap() {
    join();
}

void LineTap::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LineTap::run() {
    std::string pending;
    char chunk[4096];
    while (true) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        std::string::size_type eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (onLine_) {
                onLine_(line);
            }
            std::lock_guard<std::mutex> guard(mutex_);
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
    }
    ::close(fd_);
    std::lock_guard<std::mutex> guard(mutex_);
    if (!pending.empty()) {
        lines_.push_back(pending);
    }
    ended_ = true;
    changed_.notify_all();
}

bool LineTap::waitFor(const std::function<bool(const std::string&)>& match,
                      std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t checked = 0;
    bool found = false;
    changed_.wait_for(lock, timeout, [&] {
        for (; checked < lines_.size() && !found; ++checked) {
            found = match(lines_[checked]);
        }
        return found || ended_;
    });
    return found;
}

std::vector<std::string> LineTap::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

// ---- CollectorService -------------------------------------------------------------------

CollectorService::CollectorService(std::string binary, std::string host, int port, std::string database)
    : binary_(std::move(binary)), host_(std::move(host)), database_(std::move(database)), port_(port) {}

CollectorService::~CollectorService() {
    stop();
}

bool CollectorService::start(std::string& error) {
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool spawned = child_.spawn({binary_, "--host", host_, "--port", std::to_string(port_), "--db",
                                       database_, "--until-stdin-closes"},
                                      in[0], out[1], err[1], error);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    lifeline_ = in[1];
    out_ = std::make_unique<LineTap>(out[0], [](const std::string& line) {
        // Each upload as it arrives; the summary at the end is printed by the demo.
        if (line.rfind("upload #", 0) == 0 || line.rfind("rejected", 0) == 0) {
            std::printf("[collector] %s\n", line.c_str());
            std::fflush(stdout);
        }
    });
    err_ = std::make_unique<LineTap>(err[0], nullptr);
    if (!spawned) {
        return false;
    }
    const bool listening = out_->waitFor(
        [](const std::string& line) { return line.rfind("lumvex-collector listening on", 0) == 0; },
        std::chrono::seconds(10));
    if (!listening) {
        stop();
        const auto complaints = err_->lines();
        error = complaints.empty() ? "it did not start listening within 10 seconds" : complaints.front();
        return false;
    }
    linesBeforeStop_ = out_->lines().size();
    return true;
}

std::vector<std::string> CollectorService::stop() {
    if (!child_.running()) {
        return {};
    }
    // The collector ends by itself once its input closes; the signal is the fallback.
    ::close(lifeline_);
    lifeline_ = -1;
    child_.stop(std::chrono::seconds(5));
    out_->join();
    err_->join();
    const auto all = out_->lines();
    std::vector<std::string> tail;
    for (std::size_t i = linesBeforeStop_; i < all.size(); ++i) {
        if (all[i].rfind("upload #", 0) != 0 && all[i].rfind("rejected", 0) != 0) {
            tail.push_back(all[i]);
        }
    }
    return tail;
}

// ---- GpsReplay --------------------------------------------------------------------------

GpsReplay::GpsReplay(std::vector<std::string> epochs) : epochs_(std::move(epochs)) {}

GpsReplay::~GpsReplay() {
    stop();
}

std::vector<std::string> GpsReplay::readTrack(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> epochs;
    std::string line, lastTime;
    bool anyPosition = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() < 7 || line[0] != '$') {
            continue;
        }
        const auto fields = split(line.substr(0, line.find('*')), ',');
        const std::string type = line.substr(3, 3);
        const bool timed = (type == "GGA" || type == "RMC") && fields.size() > 2;
        if (epochs.empty() || (timed && fields[1] != lastTime)) {
            epochs.emplace_back();
        }
        if (timed) {
            lastTime = fields[1];
            anyPosition = anyPosition || !fields[2].empty();
        }
        epochs.back() += line + "\r\n";
    }
    return anyPosition ? epochs : std::vector<std::string>{};
}

bool GpsReplay::start(std::string& error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    // Held open so that the terminal outlives gpsd closing and reopening it.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave_ >= 0 && ::tcgetattr(slave_, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
    }

    std::string gpsd = "gpsd";
    for (const char* candidate : {"/usr/sbin/gpsd", "/usr/local/sbin/gpsd", "/usr/bin/gpsd"}) {
        if (::access(candidate, X_OK) == 0) {
            gpsd = candidate;
            break;
        }
    }
    port_ = freePort();
    int log[2];
    if (::pipe2(log, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    // -N stay in the foreground, -n read the device before any client asks, -b never write
    // to it, -s a fixed speed (a pseudo-terminal has none to hunt for), -D 3 logs "startup".
    const bool spawned = gpsd_.spawn({gpsd, "-N", "-n", "-b", "-s", "38400", "-D", "3", "-S", port_, name},
                                     -1, -1, log[1], error);
    ::close(log[1]);
    log_ = std::make_unique<LineTap>(log[0], nullptr);
    if (!spawned) {
        return false;
    }
    if (!log_->waitFor([](const std::string& line) { return line.find("startup at") != std::string::npos; },
                       std::chrono::seconds(10))) {
        gpsd_.stop();
        const auto lines = log_->lines();
        error = "gpsd did not start" + (lines.empty() ? std::string() : ": " + lines.back());
        return false;
    }
    writer_ = std::thread([this] { replay(); });
    return true;
}

void GpsReplay::replay() {
    auto next = SteadyClock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (std::size_t i = 0; !stopping_; i = (i + 1) % epochs_.size()) {
        const auto wall = std::chrono::system_clock::now();
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
        const int centis = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() % 1000 /
            10);
        const CivilTime utc = civilTime(millis / 1000);
        std::string out;
        std::istringstream sentences(epochs_[i]);
        std::string sentence;
        while (std::getline(sentences, sentence)) {
            if (!sentence.empty() && sentence.back() == '\r') {
                sentence.pop_back();
            }
            out += restamp(sentence, utc, centis) + "\r\n";
        }
        lock.unlock();
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t n = ::write(master_, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        lock.lock();
        next += std::chrono::seconds(1);
        wake_.wait_until(lock, next, [this] { return stopping_; });
    }
}

void GpsReplay::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    gpsd_.stop();
    log_.reset();
    for (int* fd : {&slave_, &master_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

// ---- time -------------------------------------------------------------------------------

CivilTime civilTime(long long seconds) {
    // Days since 1970 to a proleptic Gregorian date, counted in 400-year eras from 0000-03-01.
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return {year,
            month,
            day,
            static_cast<int>(rest / 3600),
            static_cast<int>(rest % 3600 / 60),
            static_cast<int>(rest % 60)};
}

// ---- ports ------------------------------------------------------------------------------

bool portInUse(const std::string& host, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        ::close(fd);
        return false;
    }
    // A listener answers. (Connections that linger in TIME_WAIT do not count: the
    // collector binds over them.)
    const bool busy = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return busy;
}

std::string freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::string port;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = std::to_string(ntohs(address.sin_port));
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

}  // namespace demo
