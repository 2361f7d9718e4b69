// CSV, JSON and SVG writers of a run's vantle_results rows.
#include "export.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

enum { SET_ASSOC = 2, FULLY_ASSOC = 3, DIRECT_MAPPED = 4 };

const char *organisation_name(int organisation) {
  switch (organisation) {
    case FULLY_ASSOC: return "fully-associative";
    case DIRECT_MAPPED: return "direct-mapped";
    default: return "set-associative";
  }
}

const char *policy_name(const vantle_result &row) {
  if (row.organisation == DIRECT_MAPPED) return "";
  return row.policy ? "OPT" : "LRU";
}

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when the
// bytes there are not one: file names are bytes, JSON and XML are text.
int utf8_length(const unsigned char *p) {
  if (p[0] < 0x80) return 1;
  int n = p[0] >= 0xf0 ? 4 : p[0] >= 0xe0 ? 3 : p[0] >= 0xc2 ? 2 : 0;
  if (n == 0 || p[0] > 0xf4) return 0;
  uint32_t code = p[0] & (0x7f >> n);
  for (int i = 1; i < n; i++) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3f);
  }
  bool shortest = code >= (n == 2 ? 0x80u : n == 3 ? 0x800u : 0x10000u);
  bool scalar = code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
  return shortest && scalar ? n : 0;
}

const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

void put_json_string(FILE *out, const char *text) {
  fputc('"', out);
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(
           text ? text : "");
       *p;) {
    int n = utf8_length(p);
    if (*p == '"' || *p == '\\')
      fprintf(out, "\\%c", *p);
    else if (*p < 0x20)
      fprintf(out, "\\u%04x", *p);
    else if (n == 0)
      fputs(kReplacement, out);
    else
      fwrite(p, 1, n, out);
    p += n ? n : 1;
  }
  fputc('"', out);
}

int finish(FILE *out) { return fflush(out) == 0 && !ferror(out) ? 0 : -1; }

}  // namespace

const char *family_name(const vantle_result *first) {
  if (!first) return "no";
  switch (first->organisation) {
    case FULLY_ASSOC:
      return first->policy ? "OPT Fully-associative" : "LRU Fully-associative";
    case DIRECT_MAPPED: return "Direct-mapped";
    default:
      return first->policy ? "OPT Set-associative" : "LRU Set-associative";
  }
}

int write_results_csv(FILE *out, const vantle_result *rows, int count) {
  fprintf(out,
          "organisation,policy,line_size,sets,associativity,cache_size,"
          "references,hits,miss_ratio\n");
  for (int i = 0; i < count; i++) {
    const vantle_result &r = rows[i];
    fprintf(out, "%s,%s,%u,%u,%u,%llu,%llu,%llu,",
            organisation_name(r.organisation), policy_name(r), r.line_size,
            r.sets, r.associativity,
            static_cast<unsigned long long>(r.cache_size),
            static_cast<unsigned long long>(r.references),
            static_cast<unsigned long long>(r.hits));
    if (!isnan(r.miss_ratio)) fprintf(out, "%.6f", r.miss_ratio);
    fputc('\n', out);
  }
  return finish(out);
}

int write_results_json(FILE *out, const run_description *run,
                       const vantle_result *rows, int count) {
  fputs("{\n  \"family\": ", out);
  put_json_string(out, run->family);
  fputs(",\n  \"options\": ", out);
  put_json_string(out, run->options);
  fputs(",\n  \"input\": ", out);
  put_json_string(out, run->input);
  fputs(",\n  \"reference_kinds\": ", out);
  put_json_string(out, run->kinds);
  fprintf(out, ",\n  \"references\": %llu,\n  \"rows\": [", run->references);
  for (int i = 0; i < count; i++) {
    const vantle_result &r = rows[i];
    fprintf(out,
            "%s\n    {\"organisation\": \"%s\", \"policy\": \"%s\", "
            "\"line_size\": %u, \"sets\": %u, \"associativity\": %u, "
            "\"cache_size\": %llu, \"references\": %llu, \"hits\": %llu, "
            "\"miss_ratio\": ",
            i ? "," : "", organisation_name(r.organisation), policy_name(r),
            r.line_size, r.sets, r.associativity,
            static_cast<unsigned long long>(r.cache_size),
            static_cast<unsigned long long>(r.references),
            static_cast<unsigned long long>(r.hits));
    if (isnan(r.miss_ratio))
      fputs("null}", out);
    else
      fprintf(out, "%.6f}", r.miss_ratio);
  }
  fputs(count ? "\n  ]\n}\n" : "]\n}\n", out);
  return finish(out);
}

// ---------------------------------------------------------------- SVG plot

namespace {

struct Curve {
  std::string label;
  std::vector<std::pair<double, double>> points;  // (x value, miss ratio)
};

struct Plot {
  std::string title, x_label;
  std::vector<Curve> curves;
};

// 1536 -> "1.5K", 65536 -> "64K", 1048576 -> "1M".
std::string short_size(double value) {
  const char *units[] = {"", "K", "M", "G", "T"};
  int u = 0;
  while (value >= 1024 && u < 4) {
    value /= 1024;
    u++;
  }
  char text[32];
  if (value == floor(value))
    snprintf(text, sizeof text, "%.0f%s", value, units[u]);
  else
    snprintf(text, sizeof text, "%.1f%s", value, units[u]);
  return text;
}

Plot build_plot(const run_description *run, const vantle_result *rows,
                int count) {
  Plot plot;
  // The input's last path component: a title, not a locator.
  const char *input = run->input ? run->input : "";
  if (strrchr(input, '/') && strrchr(input, '/')[1])
    input = strrchr(input, '/') + 1;
  int organisation = count ? rows[0].organisation : FULLY_ASSOC;
  // The set-associative legend names associativities only: the title says
  // the line size.
  std::string lines = count && organisation == SET_ASSOC
                          ? ", " + std::to_string(rows[0].line_size) +
                                "-byte lines"
                          : "";
  plot.title = std::string(run->family ? run->family : family_name(rows)) +
               " caches" + lines + ": " + input;
  if (organisation == SET_ASSOC) {
    plot.x_label = "number of sets (log scale)";
    // Associativities run 1, 2, ... up to the largest: curve ways - 1.
    for (int i = 0; i < count; i++) {
      uint32_t ways = rows[i].associativity ? rows[i].associativity : 1;
      while (plot.curves.size() < ways)
        plot.curves.push_back(
            {std::to_string(plot.curves.size() + 1) + "-way", {}});
      plot.curves[ways - 1].points.push_back(
          {double(rows[i].sets), rows[i].miss_ratio});
    }
    return plot;
  }
  Curve curve;
  if (organisation == DIRECT_MAPPED) {
    plot.x_label = "line size (bytes, log scale)";
    curve.label = short_size(double(count ? rows[0].cache_size : 0)) +
                  "B cache";
  } else {
    plot.x_label = "cache size (bytes, log scale)";
    curve.label = std::string(count && rows[0].policy ? "OPT" : "LRU") + ", " +
                  std::to_string(count ? rows[0].line_size : 0) + "-byte lines";
  }
  for (int i = 0; i < count; i++) {
    double x = organisation == DIRECT_MAPPED ? double(rows[i].line_size)
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

}  // namespace

int write_results_svg(FILE *out, const run_description *run,
                      const vantle_result *rows, int count) {
  Plot plot = build_plot(run, rows, count);
  const double width = 820, height = 520;
  const double left = 80, right = 170, top = 50, bottom = 70;
  const double plot_w = width - left - right, plot_h = height - top - bottom;

  double x_min = INFINITY, x_max = -INFINITY, y_max = 0;
  for (const Curve &c : plot.curves)
    for (auto [x, y] : c.points) {
      x_min = fmin(x_min, x);
      x_max = fmax(x_max, x);
      if (!isnan(y)) y_max = fmax(y_max, y);
    }
  bool empty = !(x_min <= x_max);
  double lx_min = empty ? 0 : floor(log2(x_min));
  double lx_max = empty ? 1 : ceil(log2(x_max));
  if (lx_max <= lx_min) lx_max = lx_min + 1;
  double y_step = tick_step(y_max > 0 ? y_max : 1);
  double y_top = y_max > 0 ? ceil(y_max / y_step - 1e-9) * y_step : 1;
  if (y_top <= 0) y_top = 1;
  auto px = [&](double x) {
    return left + (log2(x) - lx_min) / (lx_max - lx_min) * plot_w;
  };
  auto py = [&](double y) { return top + plot_h - y / y_top * plot_h; };

  fprintf(out,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" "
          "height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
          "font-family=\"Helvetica, Arial, sans-serif\" font-size=\"13\">\n"
          "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
          width, height, width, height);
  fprintf(out, "<text x=\"%.1f\" y=\"28\" font-size=\"16\" "
               "text-anchor=\"middle\">", left + plot_w / 2);
  put_xml_text(out, plot.title);
  fputs("</text>\n", out);

  // Grid, ticks and tick labels. Label at most about 12 x ticks.
  int decades = static_cast<int>(lx_max - lx_min);
  int label_every = decades > 12 ? (decades + 11) / 12 : 1;
  for (int k = 0; k <= decades; k++) {
    double x = left + k * plot_w / decades;
    fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
                 "stroke=\"#e5e5e5\"/>\n", x, top, x, top + plot_h);
    if (k % label_every) continue;
    std::string label = short_size(exp2(lx_min + k));
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s"
                 "</text>\n", x, top + plot_h + 18, label.c_str());
  }
  for (double y = 0; y <= y_top + y_step / 2; y += y_step) {
    fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
                 "stroke=\"#e5e5e5\"/>\n", left, py(y), left + plot_w, py(y));
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
            left - 8, py(y) + 4, round(y / y_step) * y_step);
  }
  fprintf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
               "fill=\"none\" stroke=\"black\"/>\n", left, top, plot_w, plot_h);
  fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">",
          left + plot_w / 2, height - 22);
  put_xml_text(out, plot.x_label);
  fputs("</text>\n", out);
  fprintf(out, "<text transform=\"translate(22 %.1f) rotate(-90)\" "
               "text-anchor=\"middle\">miss ratio</text>\n", top + plot_h / 2);

  // Curves and legend. The legend's lines close up to fit the plot's
  // height; past kLegendMost entries the rest are counted, not listed.
  const size_t kLegendMost = 40;
  size_t listed = plot.curves.size();
  if (listed > kLegendMost) listed = kLegendMost - 1;
  double spacing = fmin(20, (plot_h - 12) / fmax(1, double(listed)));
  if (listed < plot.curves.size())
    spacing = (plot_h - 12) / double(kLegendMost);
  for (size_t i = 0; i < plot.curves.size(); i++) {
    const Curve &c = plot.curves[i];
    const char *colour = kColours[i % 10];
    const char *dash = kDashes[(i / 10) % 3];
    fprintf(out, "<polyline class=\"curve\" fill=\"none\" stroke=\"%s\" "
                 "stroke-width=\"2\"%s%s%s points=\"", colour,
            *dash ? " stroke-dasharray=\"" : "", dash, *dash ? "\"" : "");
    // A point less than half a pixel right of the last one drawn adds
    // nothing (a fully-associative family may have millions of rows).
    double drawn = -INFINITY;
    for (size_t k = 0; k < c.points.size(); k++) {
      auto [x, y] = c.points[k];
      bool last = k + 1 == c.points.size();
      if (isnan(y) || (px(x) - drawn < 0.5 && !last)) continue;
      drawn = px(x);
      fprintf(out, "%.1f,%.1f ", drawn, py(y));
    }
    fputs("\"/>\n", out);
    if (c.points.size() <= 40)
      for (auto [x, y] : c.points)
        if (!isnan(y))
          fprintf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\" fill=\"%s\"/>"
                       "\n", px(x), py(y), colour);
    if (i >= listed) continue;
    double ly = top + 12 + spacing * i;
    fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
                 "stroke=\"%s\" stroke-width=\"2\"%s%s%s/>\n",
            left + plot_w + 14, ly, left + plot_w + 40, ly, colour,
            *dash ? " stroke-dasharray=\"" : "", dash, *dash ? "\"" : "");
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.0f\">",
            left + plot_w + 46, ly + 4, fmin(13, spacing - 1));
    put_xml_text(out, c.label);
    fputs("</text>\n", out);
  }
  if (listed < plot.curves.size())
    fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.0f\">"
                 "(%zu more)</text>\n", left + plot_w + 14,
            top + 12 + spacing * listed + 4, fmin(13, spacing - 1),
            plot.curves.size() - listed);
  if (empty || y_max == 0) {
    bool no_refs = count == 0 || rows[0].references == 0;
    if (no_refs)
      fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" "
                   "fill=\"#888\">no references</text>\n",
              left + plot_w / 2, top + plot_h / 2);
  }
  fputs("</svg>\n", out);
  return finish(out);
}
