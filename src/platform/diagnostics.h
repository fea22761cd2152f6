#pragma once
// Findings about configuration and simulator files that an operator should see in
// `quarneld check`: values clamped, defaulted or ignored, with the file and line.
#include <string>
#include <vector>

namespace qd {

struct Warning {
    std::string file;  // path as the operator gave it (working-directory relative where possible)
    int line = 0;      // 1-based; 0 when the finding is about the whole file
    std::string message;
};

class Diagnostics {
public:
    void warn(std::string file, int line, std::string message) {
        items_.push_back(Warning{std::move(file), line, std::move(message)});
    }
    const std::vector<Warning>& items() const { return items_; }
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }

private:
    std::vector<Warning> items_;
};

}  // namespace qd
