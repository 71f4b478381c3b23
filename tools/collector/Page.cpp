#include "Page.h"

#include "UploadStore.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

namespace collector {

namespace {

constexpr double WIDTH = 640;
constexpr double HEIGHT = 420;
constexpr double MARGIN = 24;
constexpr double PI = 3.14159265358979323846;

/// Text made safe for HTML element content and quoted attribute values. Keys, device ids
/// and descriptions come from whoever uploads, so nothing of theirs goes out unescaped.
std::string escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::optional<double> coordinate(const nlohmann::json& value, double limit) {
    if (!value.is_string()) {
        return std::nullopt;
    }
    const auto& text = value.get_ref<const std::string&>();
    double parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(parsed) ||
        std::fabs(parsed) > limit) {
        return std::nullopt;
    }
    return parsed;
}

/// The fixes as an SVG track: the positions projected onto a plane (longitude scaled by
/// the cosine of the middle latitude, so that shapes keep their proportions), fitted into
/// the drawing, joined by a line in the order received, one circle each.
std::string renderTrack(const std::vector<Fix>& fixes) {
    std::vector<const Fix*> drawn;
    for (const auto& fix : fixes) {
        if (fix.lat && fix.lng) {
            drawn.push_back(&fix);
        }
    }
    std::ostringstream svg;
    svg << "<svg class=\"track\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << WIDTH << ' '
        << HEIGHT << "\" width=\"" << WIDTH << "\" height=\"" << HEIGHT << "\" role=\"img\" aria-label=\""
        << drawn.size() << " fixes\">";
    svg << "<rect class=\"frame\" x=\"0\" y=\"0\" width=\"" << WIDTH << "\" height=\"" << HEIGHT << "\"/>";
    if (drawn.empty()) {
        svg << "<text x=\"" << WIDTH / 2 << "\" y=\"" << HEIGHT / 2
            << "\" text-anchor=\"middle\">no fixes received</text></svg>";
        return svg.str();
    }
    double minLat = 90, maxLat = -90, minLng = 180, maxLng = -180;
    for (const auto* fix : drawn) {
        minLat = std::min(minLat, *fix->lat);
        maxLat = std::max(maxLat, *fix->lat);
        minLng = std::min(minLng, *fix->lng);
        maxLng = std::max(maxLng, *fix->lng);
    }
    const double squeeze = std::max(0.01, std::cos((minLat + maxLat) / 2 * PI / 180));
    const double spanX = (maxLng - minLng) * squeeze;
    const double spanY = maxLat - minLat;
    const double usableW = WIDTH - 2 * MARGIN, usableH = HEIGHT - 2 * MARGIN;
    // One scale for both axes; a single place (no span at all) sits in the middle.
    const double scale = (spanX > 0 || spanY > 0) ? std::min(spanX > 0 ? usableW / spanX : INFINITY,
                                                             spanY > 0 ? usableH / spanY : INFINITY)
                                                  : 0;
    const double offsetX = MARGIN + (usableW - spanX * scale) / 2;
    const double offsetY = MARGIN + (usableH - spanY * scale) / 2;
    auto x = [&](const Fix& f) { return offsetX + (*f.lng - minLng) * squeeze * scale; };
    auto y = [&](const Fix& f) { return HEIGHT - (offsetY + (*f.lat - minLat) * scale); };

    svg << "<polyline class=\"path\" points=\"";
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        svg << (i ? " " : "") << number(x(*drawn[i])) << ',' << number(y(*drawn[i]));
    }
    svg << "\"/>";
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        const auto& f = *drawn[i];
        const char* role = i == 0 ? " first" : (i + 1 == drawn.size() ? " last" : "");
        svg << "<circle class=\"fix" << role << "\" cx=\"" << number(x(f)) << "\" cy=\"" << number(y(f))
            << "\" r=\"5\"><title>" << escape(f.timestamp) << "  " << *f.lat << ", " << *f.lng
            << "</title></circle>";
    }
    // A scale bar, so that the drawing says how far the fixes are apart.
    if (scale > 0) {
        const double metresPerDegree = 111320;
        const double widthMetres = usableW / scale * metresPerDegree;
        double bar = 1;
        while (bar * 10 <= widthMetres / 3) bar *= 10;
        if (bar * 5 <= widthMetres / 3)
            bar *= 5;
        else if (bar * 2 <= widthMetres / 3)
            bar *= 2;
        const double barPx = bar / metresPerDegree * scale;
        svg << "<g class=\"scale\"><line x1=\"" << MARGIN << "\" y1=\"" << HEIGHT - 10 << "\" x2=\""
            << number(MARGIN + barPx) << "\" y2=\"" << HEIGHT - 10 << "\"/><text x=\""
            << number(MARGIN + barPx + 6) << "\" y=\"" << HEIGHT - 6 << "\">"
            << (bar >= 1000 ? std::to_string(static_cast<long long>(bar / 1000)) + " km"
                            : std::to_string(static_cast<long long>(bar)) + " m")
            << "</text></g>";
    }
    svg << "</svg>";
    return svg.str();
}

const char* STYLE =
    "body{font-family:system-ui,sans-serif;margin:2em;color:#222;background:#fafafa}"
    "h1{margin-top:0}code{background:#eee;padding:0 .25em;border-radius:3px}"
    "section.key{margin-bottom:2.5em}"
    "article.device{background:#fff;border:1px solid #ddd;border-radius:6px;padding:1em;margin:1em 0}"
    ".columns{display:flex;flex-wrap:wrap;gap:1.5em;align-items:flex-start}"
    "table{border-collapse:collapse}td,th{text-align:left;padding:.15em .8em .15em 0;vertical-align:top}"
    "th{font-weight:600;color:#555}"
    "svg.track .frame{fill:#eef3ee;stroke:#bbb}"
    "svg.track .path{fill:none;stroke:#3367d6;stroke-width:2}"
    "svg.track .fix{fill:#fff;stroke:#3367d6;stroke-width:2}"
    "svg.track .fix.first{fill:#2e9d4a}svg.track .fix.last{fill:#d63333}"
    "svg.track .scale line{stroke:#333;stroke-width:2}svg.track text{font-size:12px;fill:#333}"
    ".muted{color:#777}";

}  // namespace

void DeviceView::add(const std::string& receivedAt, const nlohmann::json& body) {
    if (!body.is_object()) {
        return;
    }
    const auto found = body.find("devices_infos");
    if (found != body.end() && found->is_object() && !found->empty()) {
        description = *found;
        descriptionReceivedAt = receivedAt;
    }
    const auto locations = body.find("locations");
    if (locations == body.end() || !locations->is_array()) {
        return;
    }
    for (const auto& location : *locations) {
        Fix fix;
        if (location.is_object()) {
            fix.timestamp = location.value("timestamp", "");
            fix.lat = coordinate(location.value("lat", nlohmann::json()), 90);
            fix.lng = coordinate(location.value("lng", nlohmann::json()), 180);
        }
        fixes.push_back(std::move(fix));
    }
}

std::string renderPageStart(const Totals& totals) {
    std::ostringstream html;
    html << "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
         << "<title>lumvex-collector</title><style>" << STYLE << "</style></head><body>"
         << "<h1>lumvex-collector</h1>";
    html << "<p id=\"totals\">" << totals.uploads << " upload(s) from " << totals.keys << " key(s) and "
         << totals.devices << " device(s), " << totals.locations << " fix(es) in all.</p>";
    if (totals.uploads == 0) {
        html << "<p class=\"muted\">Nothing received yet. Uploads go to "
                "<code>POST /api/v1/&lt;key&gt;/send_locations</code>.</p>";
    }
    return html.str();
}

std::string renderKeyStart(const std::string& key) {
    return "<section class=\"key\" data-key=\"" + escape(key) + "\"><h2>API key <code>" + escape(key) +
           "</code></h2>";
}

std::string renderKeyEnd() {
    return "</section>";
}

std::string renderDevice(const DeviceView& device) {
    std::ostringstream html;
    std::size_t drawn = 0;
    for (const auto& fix : device.fixes) {
        drawn += (fix.lat && fix.lng) ? 1 : 0;
    }
    html << "<article class=\"device\" data-device=\"" << escape(device.counts.device) << "\" data-fixes=\""
         << device.fixes.size() << "\"><h3>Device <code>" << escape(device.counts.device) << "</code></h3>"
         << "<p>" << device.counts.uploads << " upload(s), the last at "
         << escape(device.counts.lastReceivedAt) << "; " << device.fixes.size() << " fix(es) listed";
    if (static_cast<long long>(device.fixes.size()) < device.counts.locations) {
        html << " of " << device.counts.locations << " received";
    }
    if (drawn != device.fixes.size()) {
        html << ", " << device.fixes.size() - drawn << " of them without a usable position (not drawn)";
    }
    html << ".";
    if (drawn > 1) {
        html << " The track runs from the green point to the red one.";
    }
    html << "</p><div class=\"columns\">" << renderTrack(device.fixes) << "<div>";
    if (device.description.is_object()) {
        html << "<table class=\"description\"><caption>Last description, received at "
             << escape(device.descriptionReceivedAt) << "</caption>";
        for (const auto& [name, value] : device.description.items()) {
            html << "<tr><th>" << escape(name) << "</th><td>"
                 << escape(value.is_string() ? value.get<std::string>() : dumpJson(value)) << "</td></tr>";
        }
        html << "</table>";
    } else {
        html << "<p class=\"muted\">No description received.</p>";
    }
    html << "</div></div></article>";
    return html.str();
}

std::string renderPageEnd(const std::string& nextHref) {
    std::string html;
    if (!nextHref.empty()) {
        html += "<p class=\"next\"><a rel=\"next\" href=\"" + escape(nextHref) + "\">More devices</a></p>";
    }
    return html + "</body></html>\n";
}

}  // namespace collector
