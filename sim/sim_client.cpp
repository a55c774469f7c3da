#include "sim/sim_client.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace sim {
namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

SimClient::~SimClient() {
    ClosePort();
    if (Running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty() && std::getenv("QUILLMERE_KEEP_SIM_DIR") == nullptr)
        nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool SimClient::Start(const std::string& program_path, const std::vector<std::string>& args,
                      std::string* error) {
    char pattern[] = "/tmp/quillmere-sim-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        *error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    std::vector<std::string> argv_s = {program_path,           "--port-dir", PortDir(),
                                       "--wire-log",           FilePath("wire.log"),
                                       "--log",                FilePath("sim.log"),
                                       "--summary",            FilePath("summary.txt"),
                                       "--state-out",          FilePath("state.bin"),
                                       "--timeout",            "30"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    const std::string err_path = FilePath("stderr.txt");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        *error = "fork failed";
        return false;
    }
    std::string line;
    const int64_t deadline = NowMs() + 10000;
    bool ready = false;
    while (!ready && NowMs() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c;
        if (read(out[0], &c, 1) != 1) break;
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        if (line.rfind("ready ", 0) == 0) {
            ready = true;
            slave_path_ = line.substr(line.rfind(' ') + 1);
        }
        line.clear();
    }
    close(out[0]);
    if (!ready) {
        *error = "simulator did not get ready: " + ReadFile("stderr.txt");
        return false;
    }
    return true;
}

bool SimClient::OpenPort(int n) {
    ClosePort();
    fd_ = open(PortPath(n).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return false;
    termios tio{};
    if (tcgetattr(fd_, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    return true;
}

void SimClient::ClosePort() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool SimClient::Send(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

std::string SimClient::Read(size_t n, int timeout_ms) {
    std::string out;
    const int64_t deadline = NowMs() + timeout_ms;
    while (fd_ >= 0 && out.size() < n) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        const ssize_t got = read(fd_, buf, want);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

std::string SimClient::Exchange(const std::string& frame, size_t n, int timeout_ms) {
    if (!Send(frame)) return std::string();
    return Read(n, timeout_ms);
}

int SimClient::RawRead(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, timeout_ms);
    if (r == 0) return -2;
    if (r < 0) return -1;
    char buf[256];
    return static_cast<int>(read(fd_, buf, sizeof buf));
}

bool SimClient::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

int SimClient::WaitExit(int timeout_ms) {
    const int64_t deadline = NowMs() + timeout_ms;
    while (Running()) {
        if (NowMs() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int SimClient::Stop(int timeout_ms) {
    if (Running()) kill(pid_, SIGTERM);
    return WaitExit(timeout_ms);
}

std::string SimClient::ReadFile(const std::string& name) const {
    std::ifstream f(FilePath(name), std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool SimClient::ReadState(SimState* state, std::string* error) const {
    return ReadStateFile(FilePath("state.bin"), state, error);
}

}  // namespace sim
