#pragma once
// Figures of one benchmark run: distributions (median, p99, max) and single
// values, printed as one table and written as JSON.
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

struct Summary {
    std::size_t n = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
    double min = 0;
};

// v with the given number of decimals.
std::string fixedText(double v, int decimals);

// Empty input gives n = 0 and zeros.
Summary summarize(std::vector<double> values);

class Report {
public:
    // Samples in milliseconds.
    void addDistribution(const std::string& key, const std::string& label, const std::vector<double>& samplesMs,
                         const std::string& note = "");
    void addValue(const std::string& key, const std::string& label, double value, const std::string& unit,
                  const std::string& note = "");
    void addNote(const std::string& text) { notes_.push_back(text); }
    void addInfo(const std::string& key, const std::string& value) { info_.push_back({key, value}); }

    const Summary* distribution(const std::string& key) const;
    std::optional<double> value(const std::string& key) const;

    void printTable(std::ostream& out) const;
    void writeJson(const std::string& path) const;

private:
    struct Row {
        std::string key;
        std::string label;
        bool isDistribution = false;
        Summary summary;
        double value = 0;
        std::string unit;
        std::string note;
    };
    std::vector<Row> rows_;
    std::vector<std::string> notes_;
    std::vector<std::pair<std::string, std::string>> info_;
};

}  // namespace bench
