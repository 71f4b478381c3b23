#include "Gpsd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cmath>

namespace lumvex::test {

namespace {

using SteadyClock = std::chrono::steady_clock;

int remainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A line-oriented client connection to gpsd, with deadlines on every read.
class Client {
public:
    Client(const std::string& host, const std::string& port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
        ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }
    bool send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    /// The next JSON object gpsd sends, or null when none comes before `deadline`.
    nlohmann::json next(SteadyClock::time_point deadline) {
        while (true) {
            const auto eol = buffer_.find('\n');
            if (eol != std::string::npos) {
                auto line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                auto json = nlohmann::json::parse(line, nullptr, false);
                if (json.is_object()) {
                    return json;
                }
                continue;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, remainingMs(deadline)) <= 0) {
                return nullptr;
            }
            char chunk[4096];
            const auto n = ::recv(fd_, chunk, sizeof(chunk), 0);
            if (n <= 0) {
                return nullptr;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace

bool Gpsd::feed(FakeReceiver& receiver, const std::string& nmea,
                const std::function<bool(const nlohmann::json& tpv)>& reported,
                std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    Client client(host(), port());
    if (!client.ok() || !client.send("?WATCH={\"enable\":true,\"json\":true};\n")) {
        return false;
    }
    // Only once gpsd confirms the watch will it pass on what the receiver says next.
    while (true) {
        const auto message = client.next(deadline);
        if (message.is_null()) {
            return false;
        }
        if (message.value("class", "") == "WATCH") {
            break;
        }
    }
    if (!receiver.write(nmea)) {
        return false;
    }
    while (true) {
        const auto message = client.next(deadline);
        if (message.is_null()) {
            return false;
        }
        if (message.value("class", "") == "TPV" && message.value("device", "") == receiver.devicePath() &&
            reported(message)) {
            return true;
        }
    }
}

bool Gpsd::feedFix(FakeReceiver& receiver, const std::string& nmea, double latitude, double longitude) {
    return feed(receiver, nmea, [&](const nlohmann::json& tpv) {
        return tpv.value("mode", 0) >= 2 && std::fabs(tpv.value("lat", 1000.0) - latitude) < 1e-7 &&
               std::fabs(tpv.value("lon", 1000.0) - longitude) < 1e-7;
    });
}

bool Gpsd::feedNoFix(FakeReceiver& receiver) {
    static const auto nofix = readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/nofix.nmea");
    return nofix.size() >= 2 && feed(receiver, nofix[0] + nofix[1],
                                     [](const nlohmann::json& tpv) { return tpv.value("mode", 0) == 1; });
}

}  // namespace lumvex::test
