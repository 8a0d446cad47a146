#include "tools/host/Spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace standin {

namespace {
constexpr int kFirstNm = 400;
constexpr int kStepNm = 10;

// Approximate display colour of a wavelength, for the SVG's bars.
void WavelengthColour(double nm, int* r, int* g, int* b) {
    double red = 0, green = 0, blue = 0;
    if (nm < 440) { red = (440 - nm) / 60; blue = 1; }
    else if (nm < 490) { green = (nm - 440) / 50; blue = 1; }
    else if (nm < 510) { green = 1; blue = (510 - nm) / 20; }
    else if (nm < 580) { red = (nm - 510) / 70; green = 1; }
    else if (nm < 645) { red = 1; green = (645 - nm) / 65; }
    else { red = 1; }
    *r = int(std::lround(255 * red));
    *g = int(std::lround(255 * green));
    *b = int(std::lround(255 * blue));
}

double Top(const std::vector<double>& values) {
    const double highest = values.empty() ? 1.0 : *std::max_element(values.begin(), values.end());
    return std::max(1.0, std::ceil(highest * 10) / 10);
}
}  // namespace

std::vector<double> ParseSpectrum(const std::string& response) {
    std::vector<double> values;
    if (response.compare(0, 3, "OK|") != 0) return values;
    std::stringstream list(response.substr(3));
    std::string item;
    while (std::getline(list, item, ';')) {
        char* end = nullptr;
        const double value = std::strtod(item.c_str(), &end);
        if (item.empty() || end != item.c_str() + item.size()) return {};
        values.push_back(value);
    }
    if (values.size() != 31) values.clear();
    return values;
}

std::string TerminalChart(const std::vector<double>& values, int rows) {
    const double top = Top(values);
    std::ostringstream chart;
    chart << "  reflectance\n";
    for (int row = rows; row >= 1; --row) {
        const double level = top * row / rows;
        char label[16];
        std::snprintf(label, sizeof label, "%5.0f%% |", level * 100);
        chart << (row % 3 == 0 ? label : "       |");
        for (const double value : values) {
            const double cellBottom = top * (row - 1) / rows;
            if (value >= level - top / (2 * rows)) chart << "##";
            else if (value > cellBottom) chart << "..";
            else chart << "  ";
        }
        chart << '\n';
    }
    chart << "     0% +" << std::string(values.size() * 2, '-') << '\n';
    chart << "        ";
    for (std::size_t i = 0; i < values.size(); i += 5) {
        char tick[16];
        std::snprintf(tick, sizeof tick, "%-10d", kFirstNm + int(i) * kStepNm);
        chart << tick;
    }
    chart << "nm\n";
    return chart.str();
}

std::string SvgChart(const std::vector<double>& values, const std::string& title) {
    const int width = 720, height = 420, left = 70, right = 30, topMargin = 50, bottom = 60;
    const double plotW = width - left - right, plotH = height - topMargin - bottom;
    const double top = Top(values);
    const std::size_t n = values.size();
    auto x = [&](std::size_t i) { return left + plotW * double(i) / double(n > 1 ? n - 1 : 1); };
    auto y = [&](double v) { return topMargin + plotH * (1 - v / top); };

    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\""
        << height << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << width / 2 << "\" y=\"28\" text-anchor=\"middle\" font-size=\"17\">"
        << title << "</text>\n";
    // The visible spectrum under the curve, in the colours of its wavelengths.
    svg << "<defs><linearGradient id=\"spectrum\" x1=\"0\" x2=\"1\" y1=\"0\" y2=\"0\">\n";
    for (std::size_t i = 0; i < n; ++i) {
        int r, g, b;
        WavelengthColour(kFirstNm + double(i) * kStepNm, &r, &g, &b);
        svg << "<stop offset=\"" << double(i) / double(n > 1 ? n - 1 : 1) << "\" stop-color=\"rgb("
            << r << "," << g << "," << b << ")\"/>\n";
    }
    svg << "</linearGradient></defs>\n<polygon fill=\"url(#spectrum)\" fill-opacity=\"0.5\" points=\""
        << x(0) << "," << y(0) << " ";
    for (std::size_t i = 0; i < n; ++i) svg << x(i) << "," << y(values[i]) << " ";
    svg << x(n - 1) << "," << y(0) << "\"/>\n";
    for (int t = 0; t <= 10; t += 2) {
        const double v = top * t / 10;
        svg << "<line x1=\"" << left << "\" x2=\"" << width - right << "\" y1=\"" << y(v)
            << "\" y2=\"" << y(v) << "\" stroke=\"#ddd\"/>\n"
            << "<text x=\"" << left - 8 << "\" y=\"" << y(v) + 4 << "\" text-anchor=\"end\">"
            << std::lround(v * 100) << "%</text>\n";
    }
    for (std::size_t i = 0; i < n; i += 5) {
        svg << "<text x=\"" << x(i) << "\" y=\"" << y(0) + 20 << "\" text-anchor=\"middle\">"
            << kFirstNm + int(i) * kStepNm << "</text>\n";
    }
    svg << "<text x=\"" << left + plotW / 2 << "\" y=\"" << height - 15
        << "\" text-anchor=\"middle\">wavelength (nm)</text>\n"
        << "<text x=\"18\" y=\"" << topMargin + plotH / 2 << "\" text-anchor=\"middle\" "
        << "transform=\"rotate(-90 18 " << topMargin + plotH / 2 << ")\">reflectance</text>\n"
        << "<polyline fill=\"none\" stroke=\"#222\" stroke-width=\"2.5\" points=\"";
    for (std::size_t i = 0; i < n; ++i) svg << x(i) << "," << y(values[i]) << " ";
    svg << "\"/>\n"
        << "<line x1=\"" << left << "\" x2=\"" << width - right << "\" y1=\"" << y(0)
        << "\" y2=\"" << y(0) << "\" stroke=\"#222\"/>\n"
        << "<line x1=\"" << left << "\" x2=\"" << left << "\" y1=\"" << topMargin << "\" y2=\""
        << y(0) << "\" stroke=\"#222\"/>\n</svg>\n";
    return svg.str();
}

}  // namespace standin
