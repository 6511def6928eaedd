#include "svgplot.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <unordered_set>

double NiceNumber(double x, bool round) {
    const double power = std::pow(10.0, std::floor(std::log10(x)));
    const double f = x / power;  // in [1, 10)
    double nice;
    if (round)
        nice = f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10;
    else
        nice = f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10;
    return nice * power;
}

AxisTicks NiceTicks(double lo, double hi, int target) {
    AxisTicks t;
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(hi > lo) || target < 2) return t;
    // Among the nice steps about the raw one, the one whose number of ticks inside the range
    // comes nearest the target; on a tie the coarser.
    const double raw = NiceNumber((hi - lo) / target, true);
    double step = 0;
    long best = 0;
    for (double candidate : {raw / 2.5, raw / 2, raw, raw * 2, raw * 2.5}) {
        const double nice = NiceNumber(candidate, true);
        const long count =
            static_cast<long>(std::floor(hi / nice + 1e-6) - std::ceil(lo / nice - 1e-6)) + 1;
        if (step == 0 || std::labs(count - target) < std::labs(best - target) ||
            (std::labs(count - target) == std::labs(best - target) && nice > step)) {
            step = nice;
            best = count;
        }
    }
    if (!(step > 0) || !std::isfinite(step)) return t;
    t.step = step;
    const double magnitude = std::floor(std::log10(step) + 1e-9);
    t.decimals = magnitude < 0 ? static_cast<int>(-magnitude) : 0;
    // A step of 2·10^k is split in quarters (0.5·10^k), the others in fifths.
    const double mantissa = step / std::pow(10.0, magnitude);
    const int parts = std::fabs(mantissa - 2) < 1e-6 ? 4 : 5;
    const double minor = step / parts;
    // Multiples are formed as k·step, never by repeated addition, so no error builds up; the
    // slack of a millionth of a step keeps a tick that sits on an end of the range.
    const double slack = 1e-6;
    for (double k = std::ceil(lo / minor - slack); k * minor <= hi + slack * minor; k += 1) {
        const double q = k / parts;
        if (std::fabs(q - std::round(q)) < 1e-9)
            t.major.push_back(std::round(q) == 0 ? 0.0 : std::round(q) * step);
        else
            t.minor.push_back(k * minor);
    }
    return t;
}

std::string TickLabel(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    std::string s = buf;
    if (s[0] != '-') return s;
    if (s.find_first_not_of("-0.") == std::string::npos) return s.substr(1);  // "-0.00"
    return "\u2212" + s.substr(1);
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
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
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string RichText(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const bool marker = (text[i] == '_' || text[i] == '^') && i + 1 < text.size() &&
                            text[i + 1] == '{' && text.find('}', i + 2) != std::string::npos;
        if (!marker) {
            const std::size_t next = text.find_first_of("_^", i + 1);
            const std::size_t end = next == std::string::npos ? text.size() : next;
            out += XmlEscape(text.substr(i, end - i));
            i = end;
            continue;
        }
        const std::size_t close = text.find('}', i + 2);
        out += text[i] == '_' ? "<tspan baseline-shift=\"sub\" font-size=\"72%\">"
                              : "<tspan baseline-shift=\"super\" font-size=\"72%\">";
        out += XmlEscape(text.substr(i + 2, close - i - 2));
        out += "</tspan>";
        i = close + 1;
    }
    return out;
}

namespace {

// The length of the UTF-8 sequence that starts with byte c.
std::size_t SequenceLength(unsigned char c) {
    return c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
}

const char kEmSpace[] = "\u2003";
const char kGap[] = "\u2003\u2003";

}  // namespace

double TextWidth(const std::string& text, double size, bool bold) {
    const double em = bold ? 0.68 : 0.62;
    double width = 0, scale = 1;
    for (std::size_t i = 0; i < text.size();) {
        if ((text[i] == '_' || text[i] == '^') && i + 1 < text.size() && text[i + 1] == '{' &&
            text.find('}', i + 2) != std::string::npos) {
            scale = 0.72;
            i += 2;
            continue;
        }
        if (text[i] == '}' && scale != 1) {
            scale = 1;
            ++i;
            continue;
        }
        const std::size_t n = SequenceLength(static_cast<unsigned char>(text[i]));
        width += (text.compare(i, n, kEmSpace) == 0 ? 1.0 : em) * size * scale;
        i += n;
    }
    return width;
}

namespace {

// `word` within `width`: whole characters dropped from its middle, where "…" stands instead.
std::string Shortened(const std::string& word, double size, bool bold, double width) {
    std::vector<std::string> chars;
    for (std::size_t i = 0; i < word.size();) {
        const std::size_t n = SequenceLength(static_cast<unsigned char>(word[i]));
        chars.push_back(word.substr(i, n));
        i += n;
    }
    if (TextWidth(word, size, bold) <= width) return word;
    std::size_t head = chars.size() / 2, tail = chars.size() - head;
    const auto build = [&] {
        std::string s;
        for (std::size_t k = 0; k < head; ++k) s += chars[k];
        s += "\u2026";
        for (std::size_t k = chars.size() - tail; k < chars.size(); ++k) s += chars[k];
        return s;
    };
    while (head + tail > 2 && TextWidth(build(), size, bold) > width)
        (head >= tail ? head : tail)--;
    return build();
}

}  // namespace

std::vector<std::string> WrapTitle(const std::string& line, double size, bool bold, double width) {
    const auto fits = [&](const std::string& t) { return TextWidth(t, size, bold) <= width; };
    if (fits(line)) return {line};
    // Long words (file names) first lose their middles, down to 32 characters each, so that a
    // title of long names still fits on few lines.
    std::string text = line;
    while (!fits(text)) {
        std::size_t best = 0, best_len = 0, best_at = 0;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find(' ', at);
            if (end == std::string::npos) end = text.size();
            std::size_t chars = 0;
            for (std::size_t i = at; i < end;
                 i += SequenceLength(static_cast<unsigned char>(text[i])))
                ++chars;
            if (chars > best_len && text.find_first_of("{}", at) >= end) {
                best_len = chars;
                best = end - at;
                best_at = at;
            }
            at = end + 1;
        }
        if (best_len <= 32) break;
        const std::string word = text.substr(best_at, best);
        text.replace(best_at, best,
                     Shortened(word, size, bold, TextWidth(word, size, bold) - 0.5 * size));
    }
    if (fits(text)) return {text};
    // Pieces: the parts between gaps, each followed by the gap it had; a piece too wide for a
    // line of its own is cut further at its blanks.
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t gap = text.find(kGap, at);
        const std::size_t end = gap == std::string::npos ? text.size() : gap + sizeof kGap - 1;
        const std::string piece = text.substr(at, end - at);
        at = end;
        if (fits(piece)) {
            pieces.push_back(piece);
            continue;
        }
        for (std::size_t w = 0; w < piece.size();) {
            const std::size_t blank = piece.find(' ', w);
            const std::size_t stop = blank == std::string::npos ? piece.size() : blank + 1;
            pieces.push_back(Shortened(piece.substr(w, stop - w), size, bold, width));
            w = stop;
        }
    }
    // Greedy packing; the break drops the trailing gap or blank of a line.
    std::vector<std::string> out;
    std::string current;
    for (const std::string& piece : pieces) {
        if (!current.empty() && !fits(current + piece)) {
            out.push_back(current);
            current.clear();
        }
        current += piece;
    }
    if (!current.empty()) out.push_back(current);
    for (std::string& l : out) {
        for (bool trimmed = true; trimmed;) {
            trimmed = false;
            if (l.size() >= 3 && l.compare(l.size() - 3, 3, kEmSpace) == 0) {
                l.resize(l.size() - 3);
                trimmed = true;
            } else if (!l.empty() && l.back() == ' ') {
                l.pop_back();
                trimmed = true;
            }
        }
    }
    return out;
}

std::vector<BinnedPoint> BinWeighted(const std::vector<double>& x, const std::vector<double>& y,
                                     const std::vector<double>& sigma, double lo, double hi,
                                     int nbins) {
    struct Sum {
        double x = 0, wy = 0, w = 0;
        std::size_t n = 0;
    };
    std::vector<Sum> sums(nbins > 0 ? nbins : 0);
    const double width = (hi - lo) / nbins;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i]) || !(sigma[i] > 0)) continue;
        if (!(x[i] >= lo && x[i] < hi)) continue;
        const int b = std::min(nbins - 1, static_cast<int>((x[i] - lo) / width));
        const double w = 1 / (sigma[i] * sigma[i]);
        if (!std::isfinite(w)) continue;
        sums[b].x += x[i];
        sums[b].wy += w * y[i];
        sums[b].w += w;
        ++sums[b].n;
    }
    std::vector<BinnedPoint> out;
    for (const Sum& s : sums)
        if (s.n > 0) out.push_back({s.x / s.n, s.wy / s.w, 1 / std::sqrt(s.w), s.n});
    return out;
}

namespace {

// Page layout in pixels: title lines, two stacked panels sharing the time axis, axis labels.
constexpr double kWidth = 960, kHeight = 744;
constexpr double kLeft = 104, kRight = 936;
constexpr double kUpperTop = 100, kUpperBottom = 508, kLowerBottom = 652;
constexpr double kMajorTick = 8, kMinorTick = 4;
constexpr int kBins = 150;

const char kFont[] = "'DejaVu Sans', 'Helvetica Neue', Helvetica, Arial, sans-serif";
const char kDataColor[] = "#1f1f1f";
const char kBarColor[] = "#8a8a8a";
const char kRawColor[] = "#c4c4c4";
const char kModelColor[] = "#d62728";

// printf into a string of whatever length it takes.
std::string VFormat(const char* fmt, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n <= 0) return std::string();
    std::string s(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(&s[0], s.size() + 1, fmt, args);  // the terminator lands on s[n]
    return s;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = VFormat(fmt, args);
    va_end(args);
    return s;
}

// A pixel coordinate with one decimal; far-off values are pinned (the clip hides them) so that
// no coordinate grows long or leaves the range of a float.
std::string Px(double v) {
    v = std::max(-1e4, std::min(1e4, v));
    const std::string s = Format("%.1f", v);
    return s == "-0.0" ? "0.0" : s;
}

// Linear map from data values to pixels.
struct Scale {
    double lo, hi, p0, p1;
    double operator()(double v) const { return p0 + (v - lo) * (p1 - p0) / (hi - lo); }
};

// The value below which a fraction q of the finite values lies (nearest rank); NaN when none.
double Quantile(std::vector<double> v, double q) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double a) { return !std::isfinite(a); }),
            v.end());
    if (v.empty()) return NAN;
    const std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1)));
    std::nth_element(v.begin(), v.begin() + k, v.end());
    return v[k];
}

// Widens an empty or degenerate range so that it can be drawn.
void SaneRange(double* lo, double* hi, double fallback_lo, double fallback_hi) {
    if (!std::isfinite(*lo) || !std::isfinite(*hi)) {
        *lo = fallback_lo;
        *hi = fallback_hi;
    }
    if (!(*hi > *lo)) {
        const double half = std::max(std::fabs(*lo) * 1e-3, 1e-6);
        *lo -= half;
        *hi += half;
    }
}

class Document {
   public:
    void Add(const std::string& s) { out_ += s; }
    void Addf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, fmt);
        out_ += VFormat(fmt, args);
        va_end(args);
    }
    std::string& str() { return out_; }

    // Ticks inward on all four sides of a panel, with labels on the left and, when asked, below.
    void Frame(const Scale& sx, const Scale& sy, const AxisTicks& tx, const AxisTicks& ty,
               bool x_labels) {
        const double top = sy.p1, bottom = sy.p0;
        std::string d;
        auto xtick = [&](double v, double len) {
            const std::string x = Px(sx(v));
            d += "M" + x + " " + Px(bottom) + "v" + Px(-len) + "M" + x + " " + Px(top) + "v" +
                 Px(len);
        };
        auto ytick = [&](double v, double len) {
            const std::string y = Px(sy(v));
            d += "M" + Px(kLeft) + " " + y + "h" + Px(len) + "M" + Px(kRight) + " " + y + "h" +
                 Px(-len);
        };
        for (double v : tx.major) xtick(v, kMajorTick);
        for (double v : tx.minor) xtick(v, kMinorTick);
        for (double v : ty.major) ytick(v, kMajorTick);
        for (double v : ty.minor) ytick(v, kMinorTick);
        Add("<path fill=\"none\" stroke=\"#000\" stroke-width=\"1\" d=\"" + d + "\"/>\n");
        Addf(
            "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" fill=\"none\" stroke=\"#000\" "
            "stroke-width=\"1.3\"/>\n",
            Px(kLeft).c_str(), Px(top).c_str(), Px(kRight - kLeft).c_str(),
            Px(bottom - top).c_str());
        Add("<g font-size=\"15\" fill=\"#000\" text-anchor=\"end\">\n");
        for (double v : ty.major) {
            const double y = sy(v);
            if (y < top + 7 || y > bottom - 7) continue;  // would touch the other panel's label
            Add("<text x=\"" + Px(kLeft - 8) + "\" y=\"" + Px(y + 5) + "\">" +
                TickLabel(v, ty.decimals) + "</text>\n");
        }
        Add("</g>\n");
        if (!x_labels) return;
        Add("<g font-size=\"15\" fill=\"#000\" text-anchor=\"middle\">\n");
        for (double v : tx.major)
            Add("<text x=\"" + Px(sx(v)) + "\" y=\"" + Px(bottom + 22) + "\">" +
                TickLabel(v, tx.decimals) + "</text>\n");
        Add("</g>\n");
    }

    // Error bars as one path of vertical strokes, one subpath per point.
    void ErrorBars(const Scale& sx, const Scale& sy, const std::vector<double>& x,
                   const std::vector<double>& y, const std::vector<double>& err, const char* color,
                   double width) {
        std::string d;
        for (std::size_t i = 0; i < x.size(); ++i)
            d += "M" + Px(sx(x[i])) + " " + Px(sy(y[i] - err[i])) + "V" + Px(sy(y[i] + err[i]));
        if (d.empty()) return;  // an empty path draws nothing
        Addf("<path class=\"errorbars\" fill=\"none\" stroke=\"%s\" stroke-width=\"%.1f\" d=\"",
             color, width);
        Add(d + "\"/>\n");
    }

    void Points(const Scale& sx, const Scale& sy, const std::vector<double>& x,
                const std::vector<double>& y, const char* color, double r) {
        Addf("<g class=\"points\" fill=\"%s\">\n", color);
        const std::string radius = Format("%.1f", r);
        for (std::size_t i = 0; i < x.size(); ++i)
            Add("<circle cx=\"" + Px(sx(x[i])) + "\" cy=\"" + Px(sy(y[i])) + "\" r=\"" + radius +
                "\"/>\n");
        Add("</g>\n");
    }

    // Raw points as dots (zero-length strokes with round caps) in one path, every `stride`-th
    // point; dots that land on the same printed coordinates are drawn once, which in an opaque
    // colour changes nothing.
    void Dots(const Scale& sx, const Scale& sy, const std::vector<double>& x,
              const std::vector<double>& y, std::size_t stride) {
        std::unordered_set<std::uint64_t> seen;
        std::string d;
        for (std::size_t i = 0; i < x.size(); i += stride) {
            const double px = sx(x[i]), py = sy(y[i]);
            const auto tenths = [](double v) {  // of the pinned coordinate, made non-negative
                return static_cast<std::uint64_t>(
                    std::lround(std::max(-1e4, std::min(1e4, v)) * 10) + 100000);
            };
            if (!seen.insert(tenths(px) << 32 | tenths(py)).second) continue;
            d += "M" + Px(px) + " " + Px(py) + "h0";
        }
        if (d.empty()) return;  // an empty path draws nothing
        Addf(
            "<path class=\"raw\" fill=\"none\" stroke=\"%s\" stroke-width=\"2.4\" "
            "stroke-linecap=\"round\" d=\"",
            kRawColor);
        Add(d + "\"/>\n");
    }

    void Curve(const Scale& sx, const Scale& sy, const std::vector<double>& x,
               const std::vector<double>& y) {
        std::string d;
        bool pen_down = false;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!std::isfinite(x[i]) || !std::isfinite(y[i])) {
                pen_down = false;
                continue;
            }
            d += (pen_down ? "L" : "M") + Px(sx(x[i])) + " " + Px(sy(y[i]));
            pen_down = true;
        }
        if (d.empty()) return;  // an empty path draws nothing
        Addf(
            "<path class=\"model\" fill=\"none\" stroke=\"%s\" stroke-width=\"2.2\" "
            "stroke-linejoin=\"round\" d=\"",
            kModelColor);
        Add(d + "\"/>\n");
    }

    void ClipRect(const char* id, double top, double bottom) {
        Addf(
            "<clipPath id=\"%s\"><rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\"/></clipPath>\n",
            id, Px(kLeft).c_str(), Px(top).c_str(), Px(kRight - kLeft).c_str(),
            Px(bottom - top).c_str());
    }

    void YLabel(double top, double bottom, const std::string& text) {
        const double y = (top + bottom) / 2;
        Addf(
            "<text x=\"32\" y=\"%s\" font-size=\"17\" text-anchor=\"middle\" "
            "transform=\"rotate(-90 32 %s)\">",
            Px(y).c_str(), Px(y).c_str());
        Add(RichText(text) + "</text>\n");
    }

   private:
    std::string out_;
};

// The finite observations, split into the columns the panels draw.
struct Observations {
    std::vector<double> x, flux, sigma, residual;
};

Observations FiniteObservations(const LightCurveFigure& fig) {
    Observations o;
    for (std::size_t i = 0; i < fig.x.size(); ++i) {
        if (!std::isfinite(fig.x[i]) || !std::isfinite(fig.flux[i]) ||
            !std::isfinite(fig.sigma[i]) || !std::isfinite(fig.residual[i]))
            continue;
        o.x.push_back(fig.x[i]);
        o.flux.push_back(fig.flux[i]);
        o.sigma.push_back(fig.sigma[i]);
        o.residual.push_back(fig.residual[i]);
    }
    return o;
}

}  // namespace

std::string RenderLightCurveSvg(const LightCurveFigure& fig) {
    const Observations obs = FiniteObservations(fig);
    const std::size_t n = obs.x.size();
    const bool binned = n > kBinAbove;
    // Of very many raw points an even selection is drawn: they are only the backdrop.
    const std::size_t stride = (n + kMaxRawDots - 1) / std::max<std::size_t>(kMaxRawDots, 1);
    std::vector<BinnedPoint> bins_flux, bins_res;
    if (binned) {
        bins_flux = BinWeighted(obs.x, obs.flux, obs.sigma, fig.x_lo, fig.x_hi, kBins);
        bins_res = BinWeighted(obs.x, obs.residual, obs.sigma, fig.x_lo, fig.x_hi, kBins);
    }

    // Flux range: the bulk of the points (and of their error bars when drawn), the model and
    // the binned means; a few wild points may fall outside and are clipped.
    std::vector<double> lows, highs;
    for (std::size_t i = 0; i < n; ++i) {
        const double bar = binned ? 0 : obs.sigma[i];
        lows.push_back(obs.flux[i] - bar);
        highs.push_back(obs.flux[i] + bar);
    }
    double flo = Quantile(lows, 0.001), fhi = Quantile(highs, 0.999);
    for (std::size_t j = 0; j < fig.curve_flux.size(); ++j) {
        if (!std::isfinite(fig.curve_flux[j])) continue;
        flo = std::isfinite(flo) ? std::min(flo, fig.curve_flux[j]) : fig.curve_flux[j];
        fhi = std::isfinite(fhi) ? std::max(fhi, fig.curve_flux[j]) : fig.curve_flux[j];
    }
    for (const BinnedPoint& b : bins_flux) {
        flo = std::min(flo, b.y - b.err);
        fhi = std::max(fhi, b.y + b.err);
    }
    SaneRange(&flo, &fhi, 0.99, 1.01);
    const double fpad = 0.07 * (fhi - flo);
    const Scale fx{fig.x_lo, fig.x_hi, kLeft, kRight};
    // Title lines, the first in bold, each wrapped to the width of the page about the
    // panels' centre; beyond three lines the upper panel starts lower.
    const double centre = (kLeft + kRight) / 2;
    const double room = 2 * std::min(centre, kWidth - centre) - 24;
    std::vector<std::pair<std::string, bool>> lines;
    for (std::size_t k = 0; k < fig.title.size(); ++k)
        for (const std::string& l : WrapTitle(fig.title[k], k == 0 ? 18 : 15, k == 0, room))
            lines.push_back({l, k == 0});
    const double spacing = lines.size() > 3 ? 21.0 : 23.0;
    const double upper_top = std::max(kUpperTop, 28.0 + spacing * (lines.size() - 1.0) + 14.0);
    const Scale fy{flo - fpad, fhi + fpad, kUpperBottom, upper_top};

    // Residual range, symmetric about zero; parts per million when the residuals are small.
    std::vector<double> spread;
    for (std::size_t i = 0; i < n; ++i)
        spread.push_back(std::fabs(obs.residual[i]) + (binned ? 0 : obs.sigma[i]));
    double half = Quantile(spread, 0.998);
    for (const BinnedPoint& b : bins_res) half = std::max(half, std::fabs(b.y) + b.err);
    if (!std::isfinite(half) || !(half > 0)) half = 1e-3;
    const bool ppm = half < 0.02;
    const double rscale = ppm ? 1e6 : 1;
    half *= 1.12 * rscale;
    const Scale ry{-half, half, kLowerBottom, kUpperBottom};
    auto scaled = [rscale](const std::vector<double>& v) {
        std::vector<double> s(v);
        for (double& a : s) a *= rscale;
        return s;
    };

    const AxisTicks tx = NiceTicks(fig.x_lo, fig.x_hi, 9);
    const AxisTicks tfy = NiceTicks(fy.lo, fy.hi, 7);
    const AxisTicks try_ = NiceTicks(ry.lo, ry.hi, 5);

    Document doc;
    doc.Addf(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%g\" height=\"%g\" "
        "viewBox=\"0 0 %g %g\" font-family=\"%s\">\n",
        kWidth, kHeight, kWidth, kHeight, kFont);
    doc.Add("<title>" + XmlEscape(fig.title.empty() ? "light curve" : fig.title[0]) + "</title>\n");
    doc.Addf(
        "<desc>Upper panel: %zu observations folded on the period%s and the model; lower panel: "
        "residuals (observed minus model).</desc>\n",
        n, binned ? " (faint), their weighted means in bins," : " with error bars,");
    doc.Add("<defs>\n");
    doc.ClipRect("upper-clip", upper_top, kUpperBottom);
    doc.ClipRect("lower-clip", kUpperBottom, kLowerBottom);
    doc.Add("</defs>\n");
    doc.Addf("<rect width=\"%g\" height=\"%g\" fill=\"#fff\"/>\n", kWidth, kHeight);

    for (std::size_t k = 0; k < lines.size(); ++k)
        doc.Addf("<text x=\"%g\" y=\"%g\" font-size=\"%s\" text-anchor=\"middle\"%s>%s</text>\n",
                 centre, 28.0 + spacing * k, lines[k].second ? "18" : "15",
                 lines[k].second ? " font-weight=\"bold\"" : "", RichText(lines[k].first).c_str());

    // Upper panel: data and model.
    doc.Add("<g id=\"upper-panel\">\n<g clip-path=\"url(#upper-clip)\">\n");
    if (binned) {
        doc.Dots(fx, fy, obs.x, obs.flux, std::max<std::size_t>(stride, 1));
    } else {
        doc.ErrorBars(fx, fy, obs.x, obs.flux, obs.sigma, kBarColor, 1);
        doc.Points(fx, fy, obs.x, obs.flux, kDataColor, n > 1000 ? 1.6 : 2.2);
    }
    doc.Curve(fx, fy, fig.curve_x, fig.curve_flux);
    if (binned) {
        std::vector<double> bx, by, be;
        for (const BinnedPoint& b : bins_flux) {
            bx.push_back(b.x);
            by.push_back(b.y);
            be.push_back(b.err);
        }
        doc.ErrorBars(fx, fy, bx, by, be, kDataColor, 1.2);
        doc.Points(fx, fy, bx, by, kDataColor, 2.8);
    }
    doc.Add("</g>\n");
    doc.Frame(fx, fy, tx, tfy, false);
    doc.YLabel(upper_top, kUpperBottom, "Relative flux");

    // Legend in the lower left corner of the upper panel, clear of an out-of-transit baseline
    // at the top and of the transit in the middle.
    {
        std::vector<std::string> labels;
        if (binned) {
            labels.push_back(stride > 1 ? Format("observations (%zu, 1 in %zu drawn)", n, stride)
                                        : Format("observations (%zu)", n));
            labels.push_back(Format("weighted means in %d bins", kBins));
        } else {
            labels.push_back(Format("observations (%zu)", n));
        }
        labels.push_back(fig.model_label);
        std::size_t longest = 0;
        for (const auto& s : labels) longest = std::max(longest, s.size());
        const double line = 21, w = 44 + 7.6 * longest, h = 12 + line * labels.size();
        const double x0 = kLeft + 14, y0 = kUpperBottom - 14 - h;
        doc.Addf(
            "<g id=\"legend\" font-size=\"14\">\n<rect x=\"%s\" y=\"%s\" width=\"%s\" "
            "height=\"%s\" fill=\"#fff\" fill-opacity=\"0.9\" stroke=\"#999\" "
            "stroke-width=\"0.8\"/>\n",
            Px(x0).c_str(), Px(y0).c_str(), Px(w).c_str(), Px(h).c_str());
        for (std::size_t k = 0; k < labels.size(); ++k) {
            const double y = y0 + 6 + line * (k + 0.5);
            const double xm = x0 + 18;
            const bool last = k + 1 == labels.size();
            if (last) {
                doc.Addf("<path d=\"M%s %sh24\" stroke=\"%s\" stroke-width=\"2.2\"/>\n",
                         Px(xm - 12).c_str(), Px(y).c_str(), kModelColor);
            } else if (binned && k == 0) {
                doc.Addf("<circle cx=\"%s\" cy=\"%s\" r=\"1.4\" fill=\"%s\"/>\n", Px(xm).c_str(),
                         Px(y).c_str(), kRawColor);
            } else {
                doc.Addf("<path d=\"M%s %sv14\" stroke=\"%s\" stroke-width=\"1\"/>\n",
                         Px(xm).c_str(), Px(y - 7).c_str(), binned ? kDataColor : kBarColor);
                doc.Addf("<circle cx=\"%s\" cy=\"%s\" r=\"%s\" fill=\"%s\"/>\n", Px(xm).c_str(),
                         Px(y).c_str(), binned ? "2.8" : "2.2", kDataColor);
            }
            doc.Add("<text x=\"" + Px(x0 + 38) + "\" y=\"" + Px(y + 5) + "\">" +
                    XmlEscape(labels[k]) + "</text>\n");
        }
        doc.Add("</g>\n");
    }
    doc.Add("</g>\n");

    // Lower panel: residuals about the zero line of the model.
    doc.Add("<g id=\"lower-panel\">\n<g clip-path=\"url(#lower-clip)\">\n");
    doc.Addf("<path class=\"zero\" d=\"M%s %sH%s\" stroke=\"%s\" stroke-width=\"1.6\"/>\n",
             Px(kLeft).c_str(), Px(ry(0)).c_str(), Px(kRight).c_str(), kModelColor);
    const std::vector<double> res = scaled(obs.residual);
    if (binned) {
        doc.Dots(fx, ry, obs.x, res, std::max<std::size_t>(stride, 1));
        std::vector<double> bx, by, be;
        for (const BinnedPoint& b : bins_res) {
            bx.push_back(b.x);
            by.push_back(b.y * rscale);
            be.push_back(b.err * rscale);
        }
        doc.ErrorBars(fx, ry, bx, by, be, kDataColor, 1.2);
        doc.Points(fx, ry, bx, by, kDataColor, 2.8);
    } else {
        doc.ErrorBars(fx, ry, obs.x, res, scaled(obs.sigma), kBarColor, 1);
        doc.Points(fx, ry, obs.x, res, kDataColor, n > 1000 ? 1.6 : 2.2);
    }
    doc.Add("</g>\n");
    doc.Frame(fx, ry, tx, try_, true);
    doc.YLabel(kUpperBottom, kLowerBottom, ppm ? "O \u2212 C [ppm]" : "O \u2212 C");
    doc.Add("</g>\n");

    // The time axis.
    doc.Addf("<text x=\"%g\" y=\"%g\" font-size=\"17\" text-anchor=\"middle\">",
             (kLeft + kRight) / 2, kLowerBottom + 50);
    doc.Add(RichText(fig.x_label) + "</text>\n");
    if (!fig.x_note.empty()) {
        doc.Addf("<text x=\"%g\" y=\"%g\" font-size=\"14\" fill=\"#444\" text-anchor=\"middle\">",
                 (kLeft + kRight) / 2, kLowerBottom + 74);
        doc.Add(RichText(fig.x_note) + "</text>\n");
    }
    doc.Add("</svg>\n");
    return std::move(doc.str());
}
