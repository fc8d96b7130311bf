// A small SVG writer for the tools' plots: standalone documents that a browser
// opens as they are, with every text escaped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mivo::tools::svg {

// Text for element content and attribute values: & < > " ' as entities.
std::string escape(std::string_view text);

// A coordinate or value as SVG wants it: at most two decimals, no exponent,
// no trailing zeros ("12", "-0.5", "3.25").
std::string num(double value);

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point &) const = default;
};

// A line of at most about max_points points drawn from points (in ascending
// x): the x range is cut into max_points / 4 buckets, and each keeps its first
// and last point and its lowest and highest one, in their order. Peaks survive,
// which plain every-n-th sampling would drop. Fewer points come back as they
// are.
std::vector<Point> decimate(const std::vector<Point> &points, size_t max_points);

// Maps a value range onto a pixel range linearly (the pixel range may run
// backwards, as y does).
struct Scale {
    double from_lo, from_hi, to_lo, to_hi;
    double operator()(double v) const { return to_lo + (v - from_lo) * (to_hi - to_lo) / (from_hi - from_lo); }
};

// A document being written: elements in the order added, on a white page.
class Document {
public:
    Document(double width, double height, std::string_view title);

    // attrs: further attributes, written as they are (e.g. R"(stroke="#333")").
    void line(double x1, double y1, double x2, double y2, std::string_view attrs);
    void rect(double x, double y, double w, double h, std::string_view attrs);
    // anchor: "start", "middle" or "end".
    void text(double x, double y, std::string_view content, std::string_view anchor = "start",
              std::string_view attrs = "");
    void polyline(const std::vector<Point> &points, std::string_view attrs);
    // Opens and closes a group, e.g. for a clip path or a class.
    void begin_group(std::string_view attrs);
    void end_group();
    // Defines a rectangular clip path with this id.
    void clip_rect(std::string_view id, double x, double y, double w, double h);

    std::string str() const;

private:
    double width_, height_;
    std::string title_;
    std::string body_;
};

} // namespace mivo::tools::svg
