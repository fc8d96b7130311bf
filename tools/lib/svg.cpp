#include "tools/lib/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mivo::tools::svg {

std::string escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // XML 1.0 has no way to write most control characters at all.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
                out += ' ';
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string num(double value)
{
    if (!std::isfinite(value)) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
    return s;
}

std::vector<Point> decimate(const std::vector<Point> &points, size_t max_points)
{
    size_t buckets = max_points / 4;
    if (points.size() <= max_points || buckets == 0) return points;
    double lo = points.front().x;
    double hi = points.back().x;
    if (!(hi > lo)) return {points.front(), points.back()};

    std::vector<Point> out;
    out.reserve(buckets * 4);
    size_t i = 0;
    for (size_t b = 0; b < buckets && i < points.size(); b++) {
        double end = lo + (hi - lo) * double(b + 1) / double(buckets);
        size_t first = i;
        size_t low = i, high = i;
        while (i < points.size() && (points[i].x < end || b + 1 == buckets)) {
            if (points[i].y < points[low].y) low = i;
            if (points[i].y > points[high].y) high = i;
            i++;
        }
        if (i == first) continue; // an empty bucket
        size_t last = i - 1;
        size_t keep[4] = {first, std::min(low, high), std::max(low, high), last};
        for (size_t k = 0; k < 4; k++) {
            if (k > 0 && keep[k] == keep[k - 1]) continue;
            out.push_back(points[keep[k]]);
        }
    }
    return out;
}

Document::Document(double width, double height, std::string_view title)
    : width_(width), height_(height), title_(title)
{
}

void Document::line(double x1, double y1, double x2, double y2, std::string_view attrs)
{
    body_ += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) + "\" ";
    body_ += attrs;
    body_ += "/>\n";
}

void Document::rect(double x, double y, double w, double h, std::string_view attrs)
{
    body_ += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(std::max(w, 0.0)) + "\" height=\"" +
             num(std::max(h, 0.0)) + "\" ";
    body_ += attrs;
    body_ += "/>\n";
}

void Document::text(double x, double y, std::string_view content, std::string_view anchor, std::string_view attrs)
{
    body_ += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"";
    body_ += anchor;
    body_ += "\" ";
    body_ += attrs;
    body_ += '>';
    body_ += escape(content);
    body_ += "</text>\n";
}

void Document::polyline(const std::vector<Point> &points, std::string_view attrs)
{
    body_ += "<polyline fill=\"none\" ";
    body_ += attrs;
    body_ += " points=\"";
    for (size_t i = 0; i < points.size(); i++) {
        if (i > 0) body_ += ' ';
        body_ += num(points[i].x) + "," + num(points[i].y);
    }
    body_ += "\"/>\n";
}

void Document::begin_group(std::string_view attrs)
{
    body_ += "<g ";
    body_ += attrs;
    body_ += ">\n";
}

void Document::end_group() { body_ += "</g>\n"; }

void Document::clip_rect(std::string_view id, double x, double y, double w, double h)
{
    body_ += "<clipPath id=\"" + escape(id) + "\"><rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" +
             num(w) + "\" height=\"" + num(h) + "\"/></clipPath>\n";
}

std::string Document::str() const
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width_) + "\" height=\"" + num(height_) +
           "\" viewBox=\"0 0 " + num(width_) + " " + num(height_) +
           "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"11\">\n";
    out += "<title>" + escape(title_) + "</title>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += body_;
    out += "</svg>\n";
    return out;
}

} // namespace mivo::tools::svg
