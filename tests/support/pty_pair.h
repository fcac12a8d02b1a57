// A real pseudo-terminal pair: the driver opens the slave side by its path,
// the test plays the far end on the master side.
#pragma once

#include <string>
#include <string_view>

namespace testsupport {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }
    // Links the slave to a short path (a port name holds 11 characters).
    void Link(const std::string& path);

    void Write(std::string_view bytes);
    // Reads what the driver sends: up to count bytes, waiting at most timeoutMs.
    std::string Read(std::size_t count, int timeoutMs);
    void CloseMaster();
    void CloseSlave();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string link_;
};

// A fresh short path under /tmp for a link, unique within the process.
std::string ShortLinkPath();

// The number of open file descriptors of this process.
int OpenDescriptorCount();

}  // namespace testsupport
