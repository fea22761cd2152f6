#pragma once
// The single-instance marker: exists while a process holds it and disappears with the
// process, however it ends (an abstract Unix socket name, released by the kernel).
#include <string>

namespace qd {

class InstanceMarker {
public:
    enum class Result { Created, AlreadyExists, Failed };

    InstanceMarker() = default;
    InstanceMarker(const InstanceMarker&) = delete;
    InstanceMarker& operator=(const InstanceMarker&) = delete;
    ~InstanceMarker();

    // name: the marker's name; one machine (network namespace) has one holder per name.
    Result create(const std::string& name);
    void release();

private:
    int fd_ = -1;
};

// The marker name of the host: machine-wide, like the original's named mapping.
constexpr const char* kInstanceMarkerName = "quarneld-MyTestMap";

}  // namespace qd
