// The SVG miss-ratio plot of a run's vantle_results rows, of one family or
// several (export.h), or of the functions that miss most (sites_report.h):
// what varies in a family is its x axis, on a log scale; a panel per
// organisation, a curve per associativity, family or function.
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "misc.h"
#include "toolset/export.h"
#include "toolset/sites_report.h"

namespace {

const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

int finish(FILE *out) { return fflush(out) == 0 && !ferror(out) ? 0 : -1; }

struct Curve {
  std::string label;
  std::vector<std::pair<double, double>> points;  // (x value, miss ratio)
};

struct Plot {
  std::string title, x_label;
  bool x_in_bytes = true;  // false: a count (of sets)
  std::vector<Curve> curves;
};

// A power of two (or a simple multiple of one) as a reader takes it in:
// bytes in binary units, "512 B", "1.5 KiB", "64 KiB", "1 MiB"; a count
// as digits, "16384".
std::string axis_label(double value, bool bytes) {
  char text[32];
  if (!bytes) return std::to_string(static_cast<uint64_t>(value));
  const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (value >= 1024 && u < 4) {
    value /= 1024;
    u++;
  }
  snprintf(text, sizeof text, value == floor(value) ? "%.0f %s" : "%.1f %s",
           value, units[u]);
  return text;
}

// Whether a set-associative family's rows vary in both set count and
// associativity: only then is the number of sets its x axis, with one
// curve per associativity. Otherwise its one curve runs over cache size,
// so that its points spread over the axis.
bool varies_in_sets_and_ways(const vantle_result *rows, int count) {
  bool sets = false, ways = false;
  for (int i = 1; i < count; i++) {
    sets = sets || rows[i].sets != rows[0].sets;
    ways = ways || rows[i].associativity != rows[0].associativity;
  }
  return sets && ways;
}

std::string prefixed(const char *label, const std::string &name) {
  return label ? std::string(label) + " " + name : name;
}

// A set-associative family: by_sets, against the number of sets, one curve
// per associativity (1, 2, ... up to the largest: curve ways - 1); else
// against cache size, one curve per associativity where both vary, or one
// curve named by what stays fixed.
void add_set_associative(Plot *plot, const vantle_result *rows, int count,
                         const char *label, bool by_sets) {
  plot->x_in_bytes = !by_sets;
  plot->x_label = by_sets ? "number of sets (log scale)"
                          : "cache size (bytes, log scale)";
  if (by_sets || varies_in_sets_and_ways(rows, count)) {
    for (int i = 0; i < count; i++) {
      uint32_t ways = rows[i].associativity ? rows[i].associativity : 1;
      while (plot->curves.size() < ways)
        plot->curves.push_back(
            {prefixed(label, std::to_string(plot->curves.size() + 1) + "-way"),
             {}});
      double x = by_sets ? double(rows[i].sets) : double(rows[i].cache_size);
      plot->curves[ways - 1].points.push_back({x, rows[i].miss_ratio});
    }
    return;
  }
  Curve curve;
  const vantle_result &a = rows[0], &z = rows[count - 1];
  std::string ways = a.associativity == z.associativity
                         ? std::to_string(a.associativity) + "-way"
                         : std::to_string(a.associativity) + " to " +
                               std::to_string(z.associativity) + " ways";
  curve.label = prefixed(
      label, a.sets == z.sets
                 ? std::to_string(a.sets) + " sets, " + ways
                 : ways + ", " + std::to_string(a.sets) + " to " +
                       std::to_string(z.sets) + " sets");
  for (int i = 0; i < count; i++)
    curve.points.push_back({double(rows[i].cache_size), rows[i].miss_ratio});
  plot->curves.push_back(curve);
}

// label, when given, names the family in every curve of a plot of several;
// by_sets chooses the set-associative x axis (varies_in_sets_and_ways).
Plot build_plot(const run_description *run, const vantle_result *rows,
                int count, const char *label, bool by_sets) {
  Plot plot;
  // The input's last path component: a title, not a locator.
  const char *input = run->input ? run->input : "";
  if (strrchr(input, '/') && strrchr(input, '/')[1])
    input = strrchr(input, '/') + 1;
  int organisation = count ? rows[0].organisation : VANTLE_FULLY_ASSOCIATIVE;
  // The set-associative legend names associativities only: the title says
  // the line size.
  std::string lines = count && organisation == VANTLE_SET_ASSOCIATIVE
                          ? ", " + std::to_string(rows[0].line_size) +
                                "-byte lines"
                          : "";
  plot.title = std::string(run->family ? run->family : family_name(rows)) +
               " caches" + lines + ": " + input;
  if (organisation == VANTLE_SET_ASSOCIATIVE) {
    add_set_associative(&plot, rows, count, label, by_sets);
    return plot;
  }
  Curve curve;
  if (organisation == VANTLE_DIRECT_MAPPED) {
    plot.x_label = "line size (bytes, log scale)";
    curve.label =
        axis_label(double(count ? rows[0].cache_size : 0), true) + " cache";
    if (label) curve.label = std::string(label) + ", " + curve.label;
  } else {
    plot.x_label = "cache size (bytes, log scale)";
    std::string line = std::to_string(count ? rows[0].line_size : 0);
    // A legend of several families has room for a short name only.
    curve.label = label ? std::string(label) + ", " + line + " B lines"
                        : std::string(count && rows[0].policy ? "OPT" : "LRU") +
                              ", " + line + "-byte lines";
  }
  for (int i = 0; i < count; i++) {
    double x = organisation == VANTLE_DIRECT_MAPPED ? double(rows[i].line_size)
                                            : double(rows[i].cache_size);
    curve.points.push_back({x, rows[i].miss_ratio});
  }
  plot.curves.push_back(curve);
  return plot;
}

const char *const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                "#9467bd", "#8c564b", "#e377c2", "#17becf",
                                "#7f7f7f", "#bcbd22"};
const char *const kDashes[] = {"", "6,3", "2,3"};

// XML 1.0 allows no control character but tab and line breaks.
void put_xml_text(FILE *out, const std::string &text) {
  for (const unsigned char *p =
           reinterpret_cast<const unsigned char *>(text.c_str());
       *p;) {
    int n = utf8_length(p);
    if (*p == '<') fputs("&lt;", out);
    else if (*p == '>') fputs("&gt;", out);
    else if (*p == '&') fputs("&amp;", out);
    else if (*p == '"') fputs("&quot;", out);
    else if (n == 0 || (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r'))
      fputs(kReplacement, out);
    else fwrite(p, 1, n, out);
    p += n ? n : 1;
  }
}

// A step of 1, 2 or 5 times a power of ten giving five to ten ticks.
double tick_step(double span) {
  double raw = span / 6;
  double power = pow(10, floor(log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw) return m * power;
  return 10 * power;
}

// The legend's one font size, in every panel of a picture, and the width
// a character takes at it (about 0.6 of the size in a sans-serif face).
const double kLegendFont = 12, kCharWidth = 0.6 * kLegendFont;
const double kLegendSpacing = 16;  // at least, between entries

// Where the plot's area lies in the picture and how values map onto it:
// x on a log2 scale over whole powers of two, y linear from 0 to y_top.
// The picture is wide enough for the longest legend entry.
struct Frame {
  double width = 820, height = 520;
  double left = 80, top = 50, plot_w = 820 - 80 - 170, plot_h = 520 - 50 - 70;
  double lx_min = 0, lx_max = 1;  // log2 of the x axis's ends
  double y_step = 0.1, y_top = 1;
  double y_max = 0;    // largest miss ratio plotted
  bool empty = true;   // no point at all
  double px(double x) const {
    return left + (log2(x) - lx_min) / (lx_max - lx_min) * plot_w;
  }
  double py(double y) const { return top + plot_h - y / y_top * plot_h; }
};

// The width of a picture whose legends hold these plots' curves.
double picture_width(const std::vector<Plot> &plots) {
  Frame f;
  size_t longest = 0;
  for (const Plot &plot : plots)
    for (const Curve &c : plot.curves)
      longest = std::max(longest, c.label.size());
  return fmax(f.width, f.left + f.plot_w + 46 + kCharWidth * longest + 12);
}

Frame frame_for(const Plot &plot, double width) {
  Frame f;
  f.width = width;
  double x_min = INFINITY, x_max = -INFINITY;
  for (const Curve &c : plot.curves)
    for (auto [x, y] : c.points) {
      x_min = fmin(x_min, x);
      x_max = fmax(x_max, x);
      if (!isnan(y)) f.y_max = fmax(f.y_max, y);
    }
  f.empty = !(x_min <= x_max);
  f.lx_min = f.empty ? 0 : floor(log2(x_min));
  f.lx_max = f.empty ? 1 : ceil(log2(x_max));
  // One power of two alone stands in the middle of the axis, not at its
  // edge.
  if (f.lx_max <= f.lx_min) {
    f.lx_min -= 1;
    f.lx_max = f.lx_min + 2;
  }
  f.y_step = tick_step(f.y_max > 0 ? f.y_max : 1);
  f.y_top = f.y_max > 0 ? ceil(f.y_max / f.y_step - 1e-9) * f.y_step : 1;
  if (f.y_top <= 0) f.y_top = 1;
  return f;
}

void put_document(FILE *out, double width, double height) {
  fprintf(out,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" "
          "height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
          "font-family=\"Helvetica, Arial, sans-serif\" font-size=\"13\">\n"
          "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
          width, height, width, height);
}

void put_title(FILE *out, const Frame &f, const Plot &plot) {
  fprintf(out, "<text x=\"%.1f\" y=\"28\" font-size=\"16\" "
               "text-anchor=\"middle\">", f.left + f.plot_w / 2);
  put_xml_text(out, plot.title);
  fputs("</text>\n", out);
}

// Grid, ticks, tick labels (at most about 12 on x), frame and axis labels.
void put_axes(FILE *out, const Frame &f, const Plot &plot) {
  int decades = static_cast<int>(f.lx_max - f.lx_min);
  int label_every = decades > 12 ? (decades + 11) / 12 : 1;
  for (int k = 0; k <= decades; k++) {
    double x = f.left + k * f.plot_w / decades;
    fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
                 "stroke=\"#e5e5e5\"/>\n", x, f.top, x, f.top + f.plot_h);
    if (k % label_every) continue;
    std::string label = axis_label(exp2(f.lx_min + k), plot.x_in_bytes);
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s"
                 "</text>\n", x, f.top + f.plot_h + 18, label.c_str());
  }
  for (double y = 0; y <= f.y_top + f.y_step / 2; y += f.y_step) {
    fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
                 "stroke=\"#e5e5e5\"/>\n", f.left, f.py(y), f.left + f.plot_w,
            f.py(y));
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
            f.left - 8, f.py(y) + 4, round(y / f.y_step) * f.y_step);
  }
  fprintf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
               "fill=\"none\" stroke=\"black\"/>\n", f.left, f.top, f.plot_w,
          f.plot_h);
  fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">",
          f.left + f.plot_w / 2, f.height - 22);
  put_xml_text(out, plot.x_label);
  fputs("</text>\n", out);
  fprintf(out, "<text transform=\"translate(22 %.1f) rotate(-90)\" "
               "text-anchor=\"middle\">miss ratio</text>\n",
          f.top + f.plot_h / 2);
}

// One curve: its line, and its points when there are few of them.
void put_curve(FILE *out, const Frame &f, const Curve &c, const char *colour,
               const char *dash) {
  fprintf(out, "<polyline class=\"curve\" fill=\"none\" stroke=\"%s\" "
               "stroke-width=\"2\"%s%s%s points=\"", colour,
          *dash ? " stroke-dasharray=\"" : "", dash, *dash ? "\"" : "");
  // A point less than half a pixel right of the last one drawn adds
  // nothing (a fully-associative family may have millions of rows).
  double drawn = -INFINITY;
  for (size_t k = 0; k < c.points.size(); k++) {
    auto [x, y] = c.points[k];
    bool last = k + 1 == c.points.size();
    if (isnan(y) || (f.px(x) - drawn < 0.5 && !last)) continue;
    drawn = f.px(x);
    fprintf(out, "%.1f,%.1f ", drawn, f.py(y));
  }
  fputs("\"/>\n", out);
  if (c.points.size() <= 40)
    for (auto [x, y] : c.points)
      if (!isnan(y))
        fprintf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\" fill=\"%s\"/>"
                     "\n", f.px(x), f.py(y), colour);
}

// Every curve, with its legend entry, all at the legend's one font size.
// The entries close up to fit the plot's height; past what fits, the rest
// are counted, not listed.
void put_curves(FILE *out, const Frame &f, const Plot &plot) {
  size_t fits = static_cast<size_t>((f.plot_h - 12) / kLegendSpacing);
  size_t listed = plot.curves.size();
  if (listed > fits) listed = fits - 1;
  double spacing = listed < plot.curves.size()
                       ? kLegendSpacing
                       : fmin(20, (f.plot_h - 12) / fmax(1, double(listed)));
  double legend_x = f.left + f.plot_w;
  for (size_t i = 0; i < plot.curves.size(); i++) {
    const char *colour = kColours[i % 10];
    const char *dash = kDashes[(i / 10) % 3];
    put_curve(out, f, plot.curves[i], colour, dash);
    if (i >= listed) continue;
    double ly = f.top + 12 + spacing * i;
    fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
                 "stroke=\"%s\" stroke-width=\"2\"%s%s%s/>\n",
            legend_x + 14, ly, legend_x + 40, ly, colour,
            *dash ? " stroke-dasharray=\"" : "", dash, *dash ? "\"" : "");
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.0f\">",
            legend_x + 46, ly + 4, kLegendFont);
    put_xml_text(out, plot.curves[i].label);
    fputs("</text>\n", out);
  }
  if (listed < plot.curves.size())
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.0f\">"
                 "(%zu more)</text>\n", legend_x + 14,
            f.top + 12 + spacing * listed + 4, kLegendFont,
            plot.curves.size() - listed);
}

// One plot's title, axes and curves; "no references" over an empty one.
void put_panel(FILE *out, const Plot &plot, double width, bool no_refs) {
  Frame frame = frame_for(plot, width);
  put_title(out, frame, plot);
  put_axes(out, frame, plot);
  put_curves(out, frame, plot);
  if ((frame.empty || frame.y_max == 0) && no_refs)
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" "
                 "fill=\"#888\">no references</text>\n",
            frame.left + frame.plot_w / 2, frame.top + frame.plot_h / 2);
}

// The set-associative panel of several families runs over the number of
// sets only when every family in it varies in sets and ways with lines of
// one size; otherwise over cache size, the one axis they all share.
bool panel_by_sets(const family_results *families, int count) {
  const vantle_result *first = nullptr;
  for (int i = 0; i < count; i++) {
    const family_results &f = families[i];
    if (!f.count || f.rows[0].organisation != VANTLE_SET_ASSOCIATIVE) continue;
    if (!varies_in_sets_and_ways(f.rows, f.count)) return false;
    if (first && first->line_size != f.rows[0].line_size) return false;
    first = f.rows;
  }
  return true;
}

// ---- The three Cs, stacked (-explain) ----------------------------------------

const char *const kCauseColours[] = {"#7f9fbf", "#ff9f40", "#d62728"};
const char *const kCauses[] = {"compulsory", "capacity", "conflict"};

// Whether the explanation holds the three Cs of every row.
bool has_three_cs(const explained_row *x, int count) {
  if (!x || count == 0) return false;
  for (int k = 0; k < count; k++)
    if (x[k].compulsory == VANTLE_NOT_COUNTED) return false;
  return true;
}

// The label under bar k, or "" for none: a set-associative family's set
// count under the first bar of its group, a direct-mapped line size, a
// fully-associative size at about a dozen bars.
std::string bar_label(const vantle_result *rows, int count, int k) {
  const vantle_result &r = rows[k];
  if (r.organisation == VANTLE_SET_ASSOCIATIVE)
    return k == 0 || rows[k - 1].sets != r.sets ? std::to_string(r.sets) : "";
  if (r.organisation == VANTLE_DIRECT_MAPPED)
    return axis_label(double(r.line_size), true);
  int every = count > 12 ? (count + 11) / 12 : 1;
  return (k + 1) % every == 0 || count == 1
             ? axis_label(double(r.cache_size), true)
             : "";
}

void put_rect(FILE *out, double x, double y, double w, double h,
              const char *style) {
  fprintf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.2f\" height=\"%.2f\" "
               "%s/>\n", x, y, w, h, style);
}

// One bar: compulsory, capacity and conflict stacked as miss ratios; a
// negative conflict (fewer misses than the fully-associative LRU cache)
// is the outline between the bar's top and that cache's misses.
void put_bar(FILE *out, const Frame &f, double x, double w,
             const vantle_result &r, const explained_row &e) {
  if (r.references == 0) return;
  double refs = double(r.references);
  double c = e.compulsory / refs, fa = (e.compulsory + e.capacity) / refs;
  double m = double(r.references - r.hits) / refs;
  double bounds[] = {0, c, fa, m > fa ? m : fa};
  for (int i = 0; i < 3; i++) {
    double low = bounds[i], high = i == 2 ? bounds[3] : bounds[i + 1];
    if (i == 2 && m < fa) continue;
    char style[64];
    snprintf(style, sizeof style, "class=\"%s\" fill=\"%s\"", kCauses[i],
             kCauseColours[i]);
    put_rect(out, x, f.py(high), w, f.py(low) - f.py(high), style);
  }
  if (m < fa)
    put_rect(out, x, f.py(fa), w, f.py(m) - f.py(fa),
             "class=\"negative-conflict\" fill=\"white\" stroke=\"#d62728\" "
             "stroke-dasharray=\"3,2\"");
}

// The panel: a bar per configuration in row order, labelled below, the
// y axis up to the largest of the misses and the fully-associative ones.
void put_stacked_panel(FILE *out, const std::string &title,
                       const vantle_result *rows, const explained_row *x,
                       int count, double width) {
  Frame f;
  f.width = width;
  for (int k = 0; k < count; k++) {
    if (rows[k].references == 0) continue;
    double refs = double(rows[k].references);
    f.y_max = fmax(f.y_max, double(rows[k].references - rows[k].hits) / refs);
    f.y_max = fmax(f.y_max, (x[k].compulsory + x[k].capacity) / refs);
  }
  f.y_step = tick_step(f.y_max > 0 ? f.y_max : 1);
  f.y_top = f.y_max > 0 ? ceil(f.y_max / f.y_step - 1e-9) * f.y_step : 1;
  fprintf(out, "<text x=\"%.1f\" y=\"28\" font-size=\"16\" "
               "text-anchor=\"middle\">", f.left + f.plot_w / 2);
  put_xml_text(out, title);
  fputs("</text>\n", out);
  for (double y = 0; y <= f.y_top + f.y_step / 2; y += f.y_step)
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g"
                 "</text>\n", f.left - 8, f.py(y) + 4,
            round(y / f.y_step) * f.y_step);
  double slot = f.plot_w / fmax(1, count);
  double bar = count <= 64 ? slot * 0.8 : slot;
  for (int k = 0; k < count; k++) {
    double bx = f.left + slot * k + (slot - bar) / 2;
    put_bar(out, f, bx, bar, rows[k], x[k]);
    std::string label = bar_label(rows, count, k);
    // A set count's label stands under the middle of its group of bars.
    int group = 1;
    while (rows[k].organisation == VANTLE_SET_ASSOCIATIVE &&
           k + group < count && rows[k + group].sets == rows[k].sets)
      group++;
    if (!label.empty())
      fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">"
                   "%s</text>\n", f.left + slot * (k + group / 2.0),
              f.top + f.plot_h + 18, label.c_str());
  }
  fprintf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
               "height=\"%.1f\" fill=\"none\" stroke=\"black\"/>\n",
          f.left, f.top, f.plot_w, f.plot_h);
  const char *x_label =
      rows[0].organisation == VANTLE_SET_ASSOCIATIVE
          ? "number of sets; a bar per associativity, fewest ways first"
      : rows[0].organisation == VANTLE_DIRECT_MAPPED
          ? "line size"
          : "cache size";
  fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s"
               "</text>\n", f.left + f.plot_w / 2, f.height - 22, x_label);
  fprintf(out, "<text transform=\"translate(22 %.1f) rotate(-90)\" "
               "text-anchor=\"middle\">miss ratio</text>\n",
          f.top + f.plot_h / 2);
  for (int i = 0; i < 4; i++) {
    double ly = f.top + 12 + 20 * i, lx = f.left + f.plot_w + 14;
    put_rect(out, lx, ly - 6, 26, 10,
             i < 3 ? (std::string("fill=\"") + kCauseColours[i] + "\"").c_str()
                   : "fill=\"white\" stroke=\"#d62728\" "
                     "stroke-dasharray=\"3,2\"");
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.0f\">%s"
                 "</text>\n", lx + 32, ly + 4, kLegendFont,
            i < 3 ? kCauses[i] : "negative conflict");
  }
}

// The stacked panel of a family below the picture's other panels, at
// vertical offset top; false when it has no three Cs to show.
bool put_explained(FILE *out, const run_description *run,
                   const vantle_result *rows, const explained_row *x,
                   int count, const char *label, double width, double top) {
  if (!has_three_cs(x, count)) return false;
  const char *input = run->input ? base_name(run->input) : "";
  std::string name = label ? std::string(label) + " " : "";
  fprintf(out, "<g transform=\"translate(0 %.0f)\">\n", top);
  put_stacked_panel(out,
                    name + (run->family ? run->family : family_name(rows)) +
                        " caches, misses explained: " + input,
                    rows, x, count, width);
  fputs("</g>\n", out);
  return true;
}

}  // namespace

int write_results_svg(FILE *out, const run_description *run,
                      const vantle_result *rows, int count,
                      const explained_row *explained) {
  Frame frame;
  Plot plot = build_plot(run, rows, count, nullptr,
                         varies_in_sets_and_ways(rows, count));
  double width = picture_width({plot});
  bool stacked = has_three_cs(explained, count);
  put_document(out, width, frame.height * (stacked ? 2 : 1));
  put_panel(out, plot, width, count == 0 || rows[0].references == 0);
  if (stacked)
    put_explained(out, run, rows, explained, count, nullptr, width,
                  frame.height);
  fputs("</svg>\n", out);
  return finish(out);
}

int write_families_svg(FILE *out, const family_results *families,
                       int count) {
  // Families of one organisation share axes: their curves go in one panel.
  std::vector<Plot> panels;
  std::vector<int> organisations;
  std::vector<bool> no_refs;
  bool by_sets = panel_by_sets(families, count);
  for (int i = 0; i < count; i++) {
    const family_results &f = families[i];
    int organisation = f.count ? f.rows[0].organisation : -1;
    Plot plot = build_plot(&f.run, f.rows, f.count, f.label, by_sets);
    size_t p = 0;
    while (p < panels.size() && organisations[p] != organisation) p++;
    if (p == panels.size()) {
      const char *input = f.run.input ? base_name(f.run.input) : "";
      plot.title = std::string(organisation_title(organisation)) +
                   " caches: " + input;
      panels.push_back(plot);
      organisations.push_back(organisation);
      no_refs.push_back(f.count == 0 || f.rows[0].references == 0);
      continue;
    }
    for (Curve &c : plot.curves) panels[p].curves.push_back(c);
  }
  Frame frame;
  double width = picture_width(panels);
  size_t stacked = 0;  // explained families: a stacked panel each
  for (int i = 0; i < count; i++)
    stacked += has_three_cs(families[i].explained, families[i].count);
  put_document(out, width, frame.height * double(panels.size() + stacked));
  for (size_t p = 0; p < panels.size(); p++) {
    fprintf(out, "<g transform=\"translate(0 %.0f)\">\n",
            frame.height * double(p));
    put_panel(out, panels[p], width, no_refs[p]);
    fputs("</g>\n", out);
  }
  double top = frame.height * double(panels.size());
  for (int i = 0; i < count; i++) {
    const family_results &f = families[i];
    if (put_explained(out, &f.run, f.rows, f.explained, f.count, f.label,
                      width, top))
      top += frame.height;
  }
  fputs("</svg>\n", out);
  return finish(out);
}

int write_sites_svg(FILE *out, const run_description *run,
                    const vantle_result *rows, int members,
                    const std::vector<function_rows> &groups, int member) {
  // One curve each: a set-associative family varying in sets and ways is
  // drawn over its set counts at the chosen member's associativity.
  bool one_way = member >= 0 && member < members &&
                 rows[0].organisation == VANTLE_SET_ASSOCIATIVE &&
                 varies_in_sets_and_ways(rows, members);
  auto chosen = [&](const vantle_result *from) {
    std::vector<vantle_result> kept;
    for (int k = 0; k < members; k++)
      if (!one_way || from[k].associativity == rows[member].associativity)
        kept.push_back(from[k]);
    return kept;
  };
  std::vector<vantle_result> family = chosen(rows);
  int count = static_cast<int>(family.size());
  Plot plot = build_plot(run, family.data(), count, nullptr, false);
  bool by_line = false;
  for (Curve &c : plot.curves) c.label = "all code, " + c.label;
  for (size_t i = 0; i < groups.size() && i < 8; i++) {
    std::vector<vantle_result> own = chosen(groups[i].rows.data());
    Plot one = build_plot(run, own.data(), count, nullptr, false);
    const site_name &n = groups[i].name;
    std::string name = n.function;
    if (name.size() > 48) name = name.substr(0, 45) + "...";
    // Sites grouped by line: the line tells a function's curves apart.
    if (!n.file.empty())
      name += std::string(" (") + base_name(n.file.c_str()) + ":" +
              std::to_string(n.line) + ")";
    by_line = by_line || !n.file.empty();
    for (Curve &c : one.curves) plot.curves.push_back({name, c.points});
  }
  plot.title += by_line ? ", the 8 source lines that miss most"
                        : ", the 8 functions that miss most";
  double width = picture_width({plot});
  put_document(out, width, Frame().height);
  put_panel(out, plot, width, count == 0 || family[0].references == 0);
  fputs("</svg>\n", out);
  return finish(out);
}
