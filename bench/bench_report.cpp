#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "bench_net.h"

namespace bench {
namespace {

std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", v);
    return text;
}

std::string padRight(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string padLeft(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

std::string fixedText(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

Summary summarize(std::vector<double> values) {
    Summary s;
    s.n = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        // Nearest rank.
        std::size_t rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
        return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
    };
    s.median = at(0.5);
    s.p99 = at(0.99);
    s.max = values.back();
    s.min = values.front();
    return s;
}

void Report::addDistribution(const std::string& key, const std::string& label, const std::vector<double>& samplesMs,
                             const std::string& note) {
    Row row;
    row.key = key;
    row.label = label;
    row.isDistribution = true;
    row.summary = summarize(samplesMs);
    row.unit = "ms";
    row.note = note;
    rows_.push_back(row);
}

void Report::addValue(const std::string& key, const std::string& label, double value, const std::string& unit,
                      const std::string& note) {
    Row row;
    row.key = key;
    row.label = label;
    row.value = value;
    row.unit = unit;
    row.note = note;
    rows_.push_back(row);
}

const Summary* Report::distribution(const std::string& key) const {
    for (const Row& r : rows_) {
        if (r.key == key && r.isDistribution && r.summary.n > 0) return &r.summary;
    }
    return nullptr;
}

std::optional<double> Report::value(const std::string& key) const {
    for (const Row& r : rows_) {
        if (r.key == key && !r.isDistribution) return r.value;
    }
    return std::nullopt;
}

void Report::printTable(std::ostream& out) const {
    constexpr std::size_t kLabel = 50;
    constexpr std::size_t kNumber = 11;
    out << padRight("figure", kLabel) << padLeft("median", kNumber) << padLeft("p99", kNumber)
        << padLeft("max", kNumber) << padLeft("n", 6) << "  unit  note\n";
    out << std::string(kLabel + 3 * kNumber + 6 + 14, '-') << "\n";
    for (const Row& r : rows_) {
        out << padRight(r.label, kLabel);
        if (r.isDistribution) {
            out << padLeft(fixedText(r.summary.median, 3), kNumber) << padLeft(fixedText(r.summary.p99, 3), kNumber)
                << padLeft(fixedText(r.summary.max, 3), kNumber) << padLeft(std::to_string(r.summary.n), 6);
        } else {
            out << padLeft(fixedText(r.value, 3), kNumber) << padLeft("", kNumber) << padLeft("", kNumber)
                << padLeft("", 6);
        }
        out << "  " << padRight(r.unit, 4) << (r.note.empty() ? "" : "  " + r.note) << "\n";
    }
    if (!notes_.empty()) out << "\n";
    for (const std::string& n : notes_) out << "* " << n << "\n";
}

void Report::writeJson(const std::string& path) const {
    std::ofstream out(path);
    if (!out) throw BenchError("cannot write " + path);
    out << "{\n  \"info\": {";
    for (std::size_t i = 0; i < info_.size(); ++i) {
        out << (i ? ",\n" : "\n") << "    " << jsonText(info_[i].first) << ": " << jsonText(info_[i].second);
    }
    out << "\n  },\n  \"figures\": {";
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const Row& r = rows_[i];
        out << (i ? ",\n" : "\n") << "    " << jsonText(r.key) << ": {\"label\": " << jsonText(r.label);
        if (r.isDistribution) {
            out << ", \"n\": " << r.summary.n << ", \"median_ms\": " << jsonNumber(r.summary.median)
                << ", \"p99_ms\": " << jsonNumber(r.summary.p99) << ", \"max_ms\": " << jsonNumber(r.summary.max)
                << ", \"min_ms\": " << jsonNumber(r.summary.min);
        } else {
            out << ", \"value\": " << jsonNumber(r.value) << ", \"unit\": " << jsonText(r.unit);
        }
        if (!r.note.empty()) out << ", \"note\": " << jsonText(r.note);
        out << "}";
    }
    out << "\n  },\n  \"notes\": [";
    for (std::size_t i = 0; i < notes_.size(); ++i) out << (i ? ",\n" : "\n") << "    " << jsonText(notes_[i]);
    out << "\n  ]\n}\n";
    if (!out) throw BenchError("cannot write " + path);
}

}  // namespace bench
