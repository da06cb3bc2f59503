// A pseudo-terminal for the comm tests: the slave is the "port" the code
// under test opens through CreateFileW, the master plays the terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace k32test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && !slave_.empty(); }
    // "\\.\/dev/pts/N": the device name that CreateFileW resolves to the slave.
    std::wstring DeviceName() const;
    const std::string& SlavePath() const { return slave_; }

    // The terminal's side. Send writes everything or returns false.
    bool Send(const std::vector<uint8_t>& bytes);
    // Reads until count bytes arrived or max_ms passed.
    std::vector<uint8_t> Take(size_t count, int max_ms = 2000);
    // Closes the master: the slave sees a hang-up, as when a USB port is pulled.
    void CloseMaster();

    // The slave's line speed as termios2 holds it (read through the master,
    // which reports its slave's settings); 0 if it cannot be read.
    uint32_t SlaveSpeed() const;
    // True when termios2 shows BOTHER, i.e. the speed is set as a plain number.
    bool SlaveUsesBother() const;

private:
    int master_ = -1;
    std::string slave_;
};

}  // namespace k32test
