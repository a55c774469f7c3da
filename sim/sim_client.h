// A small client for tests: starts quillmere-sim as a child process in a
// scratch folder, talks to its port raw with timeouts, stops it and reads
// what it left (wire log, log, summary, state file).
#ifndef QUILLMERE_SIM_SIM_CLIENT_H
#define QUILLMERE_SIM_SIM_CLIENT_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "sim/state_file.h"

namespace sim {

class SimClient {
 public:
    SimClient() = default;
    // Closes the port, kills a simulator still running and removes the folder.
    ~SimClient();
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    // Starts the program at program_path in a new scratch folder with
    // --port-dir <dir>/ports, --wire-log wire.log, --log sim.log,
    // --summary summary.txt, --state-out state.bin, --timeout 30, then args.
    // Waits up to 10 s for its "ready" line. False with *error set otherwise.
    bool Start(const std::string& program_path, const std::vector<std::string>& args,
               std::string* error);

    const std::string& Dir() const { return dir_; }
    std::string PortDir() const { return dir_ + "/ports"; }
    std::string PortPath(int n = 1) const { return PortDir() + "/COM" + std::to_string(n); }
    std::string FilePath(const std::string& name) const { return dir_ + "/" + name; }
    // The slave path named in the ready line.
    const std::string& SlavePath() const { return slave_path_; }

    // Opens port COMn for reading and writing, raw, 115200. False when it
    // cannot be opened. Closes a port opened before.
    bool OpenPort(int n = 1);
    void ClosePort();
    bool PortOpen() const { return fd_ >= 0; }

    // Writes all bytes; false when the write fails.
    bool Send(const std::string& bytes);
    // Reads until n bytes arrived or timeout_ms passed; returns what came.
    std::string Read(size_t n, int timeout_ms);
    // Send, then Read(n, timeout_ms).
    std::string Exchange(const std::string& frame, size_t n, int timeout_ms = 1000);
    // One read attempt of the kind the tool makes: -2 when nothing happened
    // within timeout_ms, -1 when read fails (EIO once the device has gone),
    // 0 at end of file (hang-up), else the number of bytes read.
    int RawRead(int timeout_ms);

    // True while the child has not exited.
    bool Running();
    // Waits up to timeout_ms for the child to exit by itself. Returns its
    // exit status, 128 + signal when killed by one, or -1 when still running.
    int WaitExit(int timeout_ms);
    // Sends SIGTERM and waits up to timeout_ms; result as WaitExit.
    int Stop(int timeout_ms = 5000);

    // Contents of a file in the scratch folder ("" when missing).
    std::string ReadFile(const std::string& name) const;
    // The state file the simulator saved on exit.
    bool ReadState(SimState* state, std::string* error) const;

 private:
    std::string dir_;
    std::string slave_path_;
    pid_t pid_ = -1;
    int status_ = -1;
    int fd_ = -1;
};

}  // namespace sim

#endif
