#include "Nmea.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace lumvex::harness {

namespace {

/// The comma-separated fields of `sentence` ("$...*hh"), the checksum left out; the first
/// field is the talker and type ("$GPGGA").
std::vector<std::string> fieldsOf(const std::string& sentence) {
    const std::string body = sentence.substr(0, sentence.find('*'));
    std::vector<std::string> out;
    std::string::size_type start = 0;
    while (true) {
        const auto comma = body.find(',', start);
        out.push_back(body.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) {
            return out;
        }
        start = comma + 1;
    }
}

/// "GGA" for "$GPGGA,...", empty for what is not a sentence.
std::string typeOf(const std::string& sentence) {
    return sentence.size() > 6 && sentence[0] == '$' ? sentence.substr(3, 3) : std::string();
}

double nmeaDegrees(const std::string& value, const std::string& hemisphere, std::size_t degreeDigits) {
    const double degrees = std::stod(value.substr(0, degreeDigits));
    const double minutes = std::stod(value.substr(degreeDigits));
    const double result = degrees + minutes / 60.0;
    return (hemisphere == "S" || hemisphere == "W") ? -result : result;
}

/// The position in the fields of a GGA or RMC sentence, whose latitude is at `at`.
std::pair<double, double> positionAt(const std::vector<std::string>& fields, std::size_t at) {
    if (fields.size() <= at + 3 || fields[at].size() < 3 || fields[at + 2].size() < 4) {
        return {NAN, NAN};
    }
    try {
        return {nmeaDegrees(fields[at], fields[at + 1], 2), nmeaDegrees(fields[at + 2], fields[at + 3], 3)};
    } catch (const std::exception&) {  // std::stod on what is not a number
        return {NAN, NAN};
    }
}

std::string withChecksum(const std::string& body) {
    unsigned char sum = 0;
    for (const char c : body) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail;
}

}  // namespace

std::vector<std::string> readNmeaEpochs(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> epochs;
    std::string line;
    std::string lastTime;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] != '$') {
            continue;
        }
        const auto fields = fieldsOf(line);
        const std::string type = typeOf(line);
        const bool timed = (type == "GGA" || type == "RMC" || type == "ZDA") && fields.size() > 1;
        if (epochs.empty() || (timed && fields[1] != lastTime)) {
            epochs.emplace_back();
        }
        if (timed) {
            lastTime = fields[1];
        }
        epochs.back() += line + "\r\n";
    }
    return epochs;
}

std::pair<double, double> positionOf(const std::string& nmea) {
    std::pair<double, double> fromRmc{NAN, NAN};
    std::istringstream in(nmea);
    std::string line;
    while (std::getline(in, line)) {
        const std::string type = typeOf(line);
        if (type == "GGA") {
            const auto position = positionAt(fieldsOf(line), 2);
            if (!std::isnan(position.first)) {
                return position;
            }
        } else if (type == "RMC" && std::isnan(fromRmc.first)) {
            fromRmc = positionAt(fieldsOf(line), 3);
        }
    }
    return fromRmc;
}

std::string restamped(const std::string& nmea, std::chrono::system_clock::time_point when) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const CivilTime utc = civilTime(millis / 1000);
    char time[48];
    std::snprintf(time, sizeof time, "%02d%02d%02d.%02d", utc.hour, utc.minute, utc.second,
                  static_cast<int>(millis % 1000 / 10));
    char date[32];
    std::snprintf(date, sizeof date, "%02d%02d%02d", utc.day, utc.month, utc.year % 100);
    std::string out;
    std::istringstream in(nmea);
    std::string sentence;
    while (std::getline(in, sentence)) {
        if (!sentence.empty() && sentence.back() == '\r') {
            sentence.pop_back();
        }
        const auto star = sentence.find('*');
        if (sentence.size() < 7 || sentence[0] != '$' || star == std::string::npos) {
            out += sentence + "\r\n";
            continue;
        }
        auto fields = fieldsOf(sentence.substr(1));
        const std::string type = typeOf(sentence);
        if ((type == "GGA" || type == "RMC") && fields.size() > 1) {
            fields[1] = time;
        }
        if (type == "RMC" && fields.size() > 9) {
            fields[9] = date;
        }
        std::string body;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            body += (i > 0 ? "," : "") + fields[i];
        }
        out += withChecksum(body) + "\r\n";
    }
    return out;
}

CivilTime civilTime(long long seconds) {
    // Days since 1970 to a date, counted in 400-year eras from 0000-03-01.
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

}  // namespace lumvex::harness
