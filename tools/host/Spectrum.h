// Pictures of a measured spectrum: a terminal chart and an SVG file.
#pragma once

#include <string>
#include <vector>

namespace standin {

// The 31 reflectance values of a "GetSpectralDataAll" response
// ("OK|0.1;0.2;..."); empty when the response is not such a list.
std::vector<double> ParseSpectrum(const std::string& response);

// A chart of reflectance over 400-700 nm for a terminal, `rows` lines high.
std::string TerminalChart(const std::vector<double>& values, int rows = 12);

// A standalone SVG document of the same chart.
std::string SvgChart(const std::vector<double>& values, const std::string& title);

}  // namespace standin
