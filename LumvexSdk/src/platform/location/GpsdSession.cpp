#include "platform/location/GpsdSession.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"

#include <LumvexSdk/Platform.h>

#include <gps.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace lumvex::platform {

namespace {

// After a failed connect the name is looked up again, but not at every request: with no gpsd
// running, each tick would otherwise read the resolver's files for nothing.
constexpr auto LOOKUP_AGAIN_AFTER_FAILURE = std::chrono::minutes(1);

// The longest line kept; gpsd's longest, a poll answer for several receivers with their
// sky views, is a few kilobytes. A longer one is skipped up to its end.
constexpr std::size_t MAX_LINE = 64 * 1024;

// Watching without reports makes gpsd activate its receivers, and the poll then answers at
// once with the fix each of them holds. libgps's gps_stream cannot ask for a watch without
// reports, and writes with write(2), which raises SIGPIPE in the host's process when gpsd
// has just gone away; so the commands are sent here.
constexpr char ACTIVATE_AND_POLL[] = "?WATCH={\"enable\":true};?POLL;\n";
// The second poll covers a fix that came in before the reports began.
constexpr char STREAM_AND_POLL[] = "?WATCH={\"enable\":true,\"json\":true};?POLL;\n";

bool sendCommand(int fd, const char* command) {
    const auto length = std::strlen(command);
    return ::send(fd, command, length, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(length);
}

bool startsWith(const char* text, const char* end, const char* prefix) {
    const auto n = std::strlen(prefix);
    return static_cast<std::size_t>(end - text) >= n && std::memcmp(text, prefix, n) == 0;
}

// Drops the white space between the tokens of the JSON text [text, end) and gives its new
// end. gpsd itself writes none, but proxies and simulators of its protocol do, and both the
// class checks below and libgps's own decoder look for the tags as gpsd writes them.
char* compactJson(char* text, char* end) {
    char* out = text;
    bool inString = false;
    for (char* p = text; p < end; ++p) {
        const char c = *p;
        if (inString) {
            *out++ = c;
            if (c == '\\' && p + 1 < end) {
                *out++ = *++p;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
            *out++ = c;
        } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            *out++ = c;
        }
    }
    return out;
}

// Just past the JSON object that opens at `object`, or null when it does not close before
// `end`. Braces inside strings do not count.
char* objectEnd(char* object, char* end) {
    int depth = 0;
    bool inString = false;
    for (char* p = object; p < end; ++p) {
        if (inString) {
            if (*p == '\\') {
                ++p;
            } else if (*p == '"') {
                inString = false;
            }
        } else if (*p == '"') {
            inString = true;
        } else if (*p == '{') {
            ++depth;
        } else if (*p == '}' && --depth == 0) {
            return p + 1;
        }
    }
    return nullptr;
}

GpsdOutcome failed(GpsdFailure::Kind kind, std::string description) {
    GpsdOutcome outcome;
    outcome.failure = GpsdFailure{kind, std::move(description)};
    return outcome;
}

GpsdOutcome abandoned() {
    GpsdOutcome outcome;
    outcome.abandoned = true;
    return outcome;
}

GpsdOutcome cannotConnect(const GpsdAddress& address, int code) {
    return failed(GpsdFailure::Kind::UNREACHABLE,
                  "Cannot connect to gpsd at " + address.describe() + ": " + ::gps_errstr(code));
}

GpsdOutcome lost(const std::string& where) {
    return failed(GpsdFailure::Kind::LOST, "Lost the connection to gpsd at " + where);
}

// Where `useGpsd` said gpsd listens; set from any thread while location threads read it.
Guarded<GpsdAddress>& configuredAddress() {
    static NoDestructor<Guarded<GpsdAddress>> address;
    return *address;
}

GpsdAddress currentAddress() {
    return configuredAddress().with([](const GpsdAddress& address) { return address; });
}

}  // namespace

const LocationSourceKind& gpsdSourceKind() {
    static NoDestructor<LocationSourceKind> kind(LocationSourceKind{
        [] { return std::make_unique<GpsdSession>(); },
        nullptr,
        [] { configuredAddress().with([](GpsdAddress& address) { address = GpsdAddress{}; }); },
    });
    return *kind;
}

void useGpsd(const std::string& host, const std::string& port) {
    configuredAddress().with([&](GpsdAddress& address) { address = GpsdAddress{host, port}; });
    useLocationSource(gpsdSourceKind());
}

GpsdSession::GpsdSession() : report_(std::make_unique<gps_data_t>()), input_(MAX_LINE) {}

GpsdSession::~GpsdSession() = default;

bool GpsdSession::resolve(const GpsdAddress& address) {
    const auto now = platform::clock()->now();
    if (address == resolvedFor_ && !(stale_ && now - resolvedAt_ >= LOOKUP_AGAIN_AFTER_FAILURE) &&
        !endpoints_.empty()) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    endpoints_.clear();
    for (auto* info = found; status == 0 && info; info = info->ai_next) {
        if (info->ai_addrlen <= sizeof(sockaddr_storage)) {
            Endpoint endpoint{};
            std::memcpy(&endpoint.address, info->ai_addr, info->ai_addrlen);
            endpoint.length = info->ai_addrlen;
            endpoints_.push_back(endpoint);
        }
    }
    if (found) {
        ::freeaddrinfo(found);
    }
    resolvedFor_ = address;
    resolvedAt_ = now;
    stale_ = false;
    return !endpoints_.empty();
}

int GpsdSession::connect(const GpsdAddress& address, RequestWake& wake, GpsdOutcome& outcome) {
    // Lookup and connect block: a request whose time ran out meanwhile still hears what gpsd
    // holds, and a gpsd on this machine answers at once.
    if (!wake.enterUninterruptible()) {
        outcome = abandoned();
        return -1;
    }
    if (!resolve(address)) {
        wake.leaveUninterruptible();
        outcome = cannotConnect(address, NL_NOHOST);
        return -1;
    }
    int code = NL_NOCONNECT;
    int connected = -1;
    for (const auto& endpoint : endpoints_) {
        const int fd = ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            code = NL_NOSOCK;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) == 0) {
            connected = fd;
            break;
        }
        ::close(fd);
    }
    wake.leaveUninterruptible();
    if (connected >= 0) {
        return connected;
    }
    // The name may point elsewhere by now.
    stale_ = true;
    outcome = cannotConnect(address, code);
    return -1;
}

std::string GpsdSession::describe() const {
    return "gpsd at " + currentAddress().describe();
}

GpsdOutcome GpsdSession::request(const SourceRequest& request, RequestWake& wake) {
    const auto address = currentAddress();
    GpsdOutcome outcome;
    const int fd = connect(address, wake, outcome);
    if (fd < 0) {
        return outcome;
    }
    outcome = converse(fd, address.describe(), request.deadline, wake);
    ::close(fd);
    return outcome;
}

GpsdOutcome GpsdSession::converse(int fd, const std::string& where, Clock::TimePoint deadline,
                                  RequestWake& wake) {
    if (!sendCommand(fd, ACTIVATE_AND_POLL)) {
        return lost(where);
    }
    Conversation conversation{fd, where};
    while (true) {
        // Waited for before every read: gpsd's answer has never arrived by the time the
        // command is sent, and a read then only finds nothing. The deadline is checked at
        // every wait too, so a chatty gpsd cannot stretch the request past its time.
        switch (pollWithWake(fd, POLLIN, deadline, wake)) {
            case PollResult::READY:
                break;
            case PollResult::STOPPED:
                return abandoned();
            case PollResult::FAILED:
                return lost(where);
            case PollResult::DEADLINE:
                return failed(GpsdFailure::Kind::NO_FIX,
                              "No location fix from gpsd at " + where + " in time");
        }
        const ssize_t n = ::recv(fd, input_.data() + conversation.filled, input_.size() - conversation.filled,
                                 MSG_DONTWAIT);
        if (n > 0) {
            if (auto settled = take(conversation, static_cast<std::size_t>(n))) {
                return std::move(*settled);
            }
            continue;
        }
        if (n == 0 && conversation.answeredWithoutFix && !conversation.watched) {
            return failed(GpsdFailure::Kind::NO_FIX, "no position in gpsd's answer");
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return lost(where);
        }
    }
}

std::optional<GpsdOutcome> GpsdSession::take(Conversation& conversation, std::size_t received) {
    conversation.read += received;
    if (conversation.read > MAX_BYTES_PER_REQUEST) {
        return failed(GpsdFailure::Kind::LOST, "gpsd at " + conversation.where + " sent more than " +
                                                   std::to_string(MAX_BYTES_PER_REQUEST / 1024) +
                                                   " KB without a fix");
    }
    char* line = input_.data();
    char* const end = line + conversation.filled + received;
    char* newline;
    while ((newline = static_cast<char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)))) !=
           nullptr) {
        if (!conversation.skipping) {
            if (auto settled = takeLine(conversation, line, newline)) {
                return settled;
            }
        }
        conversation.skipping = false;
        line = newline + 1;
    }
    conversation.filled = static_cast<std::size_t>(end - line);
    if (conversation.filled == input_.size()) {
        conversation.skipping = true;
        conversation.filled = 0;
    } else {
        std::memmove(input_.data(), line, conversation.filled);
    }
    return std::nullopt;
}

std::optional<GpsdOutcome> GpsdSession::takeLine(Conversation& conversation, char* line, char* end) {
    bool pollWithoutFix = false;
    char* const compacted = compactJson(line, end);
    conversation.watched = conversation.watched || startsWith(line, compacted, "{\"class\":\"WATCH\"");
    if (auto fixes = decode(line, compacted, conversation.phase, pollWithoutFix)) {
        GpsdOutcome settled;
        settled.fix = std::move(fixes);
        return settled;
    }
    conversation.answeredWithoutFix = conversation.answeredWithoutFix || pollWithoutFix;
    if (pollWithoutFix && conversation.phase == Phase::POLLING) {
        if (!sendCommand(conversation.fd, STREAM_AND_POLL)) {
            return lost(conversation.where);
        }
        conversation.phase = Phase::STREAMING;
    }
    return std::nullopt;
}

std::optional<SourceFixes> GpsdSession::decode(char* line, char* end, Phase phase, bool& pollWithoutFix) {
    // gpsd names the class first. Only poll answers and position reports can settle a
    // request; the rest (sky views, device lists, errors) is skipped undecoded.
    if (startsWith(line, end, "{\"class\":\"TPV\"")) {
        if (phase != Phase::STREAMING) {
            return std::nullopt;
        }
        SourceFixes fixes;
        if (auto fix = unpackFix(line, end, fixes.takenAt)) {
            fixes.locations.push_back(*fix);
            return fixes;
        }
        return std::nullopt;
    }
    if (!startsWith(line, end, "{\"class\":\"POLL\"")) {
        return std::nullopt;
    }
    // libgps leaves a poll answer undecoded; its position reports are decoded one by one. A
    // report's class tag cannot occur inside a JSON string, where quotes are escaped.
    static constexpr char TPV[] = "{\"class\":\"TPV\"";
    SourceFixes fixes;
    char* at = line + 1;
    while ((at = std::search(at, end, TPV, TPV + sizeof(TPV) - 1)) != end) {
        std::optional<Clock::WallTime> takenAt;
        auto fix = unpackFix(at, end, takenAt);
        if (fix) {
            if (fixes.locations.empty()) {
                fixes.takenAt = takenAt;
            }
            fixes.locations.push_back(*fix);
        }
        ++at;
    }
    if (fixes.locations.empty()) {
        pollWithoutFix = true;
        return std::nullopt;
    }
    return fixes;
}

std::optional<Location> GpsdSession::unpackFix(char* object, char* end,
                                               std::optional<Clock::WallTime>& takenAt) {
    // libgps is given exactly one object: it never returns from some text that goes on after
    // an object, such as a second object after a comma.
    char* const close = objectEnd(object, end);
    if (!close) {
        return std::nullopt;
    }
    const char saved = *close;
    *close = '\0';
    auto& report = *report_;
    report.set = 0;
    ::gps_clear_fix(&report.fix);
    ::gps_unpack(object, &report);
    *close = saved;

    // A fix counts when the receiver has at least a 2D solution and a real position.
    const auto& fix = report.fix;
    if (!(report.set & MODE_SET) || fix.mode < MODE_2D || !(report.set & LATLON_SET) ||
        !std::isfinite(fix.latitude) || !std::isfinite(fix.longitude) || std::fabs(fix.latitude) > 90.0 ||
        std::fabs(fix.longitude) > 180.0) {
        return std::nullopt;
    }
    takenAt.reset();
    if ((report.set & TIME_SET) && fix.time.tv_sec > 0) {
        takenAt = Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
            std::chrono::seconds(fix.time.tv_sec) + std::chrono::nanoseconds(fix.time.tv_nsec)));
    }
    Location location;
    location.latitude = fix.latitude;
    location.longitude = fix.longitude;
    return location;
}

}  // namespace lumvex::platform
