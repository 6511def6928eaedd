// A self-contained SVG figure of a phase-folded light curve: the data with error bars and the
// model above, the residuals below, on a shared axis of time from mid-transit.  Plain strings,
// no fonts or scripts from outside; coordinates in pixels with one decimal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Axis ticks at 1, 2 or 5 times a power of ten, after Heckbert's "nice numbers for graph
// labels": the tick step is the nice number nearest to the range over target - 1.
struct AxisTicks {
    double step = 0;            // distance of the major ticks
    std::vector<double> major;  // the multiples of step inside [lo, hi]
    std::vector<double> minor;  // quarter or fifth steps inside [lo, hi], majors left out
    int decimals = 0;           // digits after the point that print every major tick exactly
};

// The nice number (1, 2, 5 or 10 times a power of ten) nearest to x when `round`, otherwise
// the smallest one not below x.  x must be positive and finite.
double NiceNumber(double x, bool round);

// Ticks of [lo, hi], about `target` majors; none when the range is empty or not finite.
AxisTicks NiceTicks(double lo, double hi, int target);

// A tick value with `decimals` digits after the point and a true minus sign (U+2212); a value
// that rounds to zero prints without sign.
std::string TickLabel(double value, int decimals);

// Text with the five XML special characters escaped.
std::string XmlEscape(const std::string& text);

// Escaped text in which "_{...}" and "^{...}" become subscript and superscript spans.
std::string RichText(const std::string& text);

// The width in pixels that `text` (RichText markup, UTF-8) takes at `size` pixels, a generous
// estimate for the sans-serif fonts of the figure: 0.62 em a character (0.68 em bold), 1 em
// for an em space, subscripts and superscripts at their 72%.
double TextWidth(const std::string& text, double size, bool bold);

// One title line as lines of at most `width` pixels: broken at its wide gaps (two em spaces),
// then at blanks; a word wider than the whole width is shortened in its middle, with "…".
std::vector<std::string> WrapTitle(const std::string& line, double size, bool bold, double width);

// Weighted means of y in `nbins` equal bins of x over [lo, hi): each bin's mean of x, the mean
// of y with weights 1/σ², and its standard error 1/√Σ(1/σ²); empty bins are left out.
struct BinnedPoint {
    double x, y, err;
    std::size_t count;
};
std::vector<BinnedPoint> BinWeighted(const std::vector<double>& x, const std::vector<double>& y,
                                     const std::vector<double>& sigma, double lo, double hi,
                                     int nbins);

// Beyond this many observations in the window the figure shows binned points over the raw
// ones drawn faint and without error bars.
constexpr std::size_t kBinAbove = 3000;
// Of more raw points than this, an evenly spaced selection of about this many is drawn.
constexpr std::size_t kMaxRawDots = 20000;

// What the figure shows.  Observations are given inside [x_lo, x_hi] already; entries that are
// not finite are skipped.
struct LightCurveFigure {
    std::vector<std::string> title;  // lines, the first in bold; RichText markup
    std::string x_label;             // the time axis
    std::string x_note;              // a second, smaller line under it (the zoom), may be empty
    std::string model_label;         // the model's entry in the legend
    double x_lo = 0, x_hi = 1;       // the window of the time axis
    std::vector<double> x, flux, sigma, residual;  // residual = flux - model
    std::vector<double> curve_x, curve_flux;       // the model on a fine grid over the window
};

// The whole SVG document, with an XML declaration.
std::string RenderLightCurveSvg(const LightCurveFigure& fig);
