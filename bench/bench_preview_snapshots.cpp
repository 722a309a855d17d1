// Memory of vexo preview under slow snapshot downloads: a 2-byte RAW virtual board (2048x1536
// by default; WIDTH HEIGHT as arguments), 30 clients that each ask for /snapshot.png (then,
// in a second round, /snapshot.raw) and read nothing more than the reply's first line while
// the board goes on delivering. Reports the process's resident memory when idle, its peak
// during each round and while the 30 downloads are held.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "preview/preview_service.h"

using namespace vexo::tools;

namespace {

// VmRSS or VmHWM of this process, in MB.
double memoryMb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atof(line.c_str() + std::strlen(field) + 1) / 1024;
    return 0;
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// A client that asks and then reads only the status line, so the reply stays held.
class SlowReader {
  public:
    SlowReader(uint16_t port, const std::string& path) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        int small = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        timeval tv{120, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return;
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        ok_ = send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
    }
    ~SlowReader() { close(fd_); }
    // The reply's status code, once it has begun.
    int status() {
        char buf[16] = {};
        if (!ok_ || recv(fd_, buf, 12, MSG_WAITALL) != 12) return 0;
        return std::atoi(buf + 9);
    }

  private:
    int fd_;
    bool ok_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    const unsigned width = argc > 2 ? unsigned(std::atoi(argv[1])) : 2048;
    const unsigned height = argc > 2 ? unsigned(std::atoi(argv[2])) : 1536;
    const std::string boards = R"({"boards": [{"stream": {"width": )" + std::to_string(width) +
                               R"(, "height": )" + std::to_string(height) +
                               R"(, "pixelBytes": 2, "format": "RAW", "fps": 10}}]})";
    setenv("VEXO_VIRTUAL_BOARDS", boards.c_str(), 1);
    const std::string config =
        "/tmp/vexo_bench_preview_snapshots_" + std::to_string(getpid()) + ".cfg";
    if (FILE* f = std::fopen(config.c_str(), "w")) {
        std::fprintf(f,
                     "[camera]\nwidth = %u\nheight = %u\nformat = RAW\npixel_bytes = 2\n"
                     "pixel_bits = 12\nbayer = RG\ni2c_address = 0x20\ni2c_mode = 16_8\n",
                     width, height);
        std::fclose(f);
    }
    preview::PreviewOptions options;
    options.listen = "127.0.0.1:0";
    options.board.configPath = config;
    options.limits.idleSeconds = 120;
    options.limits.perAddress = options.limits.clients;  // every reader comes from 127.0.0.1
    preview::PreviewService service(options);
    service.start();
    httplib::Client client("127.0.0.1", service.port());
    client.set_read_timeout(60, 0);
    client.Get("/frame.jpg");  // the first frame is encoded and every buffer sized
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idle = memoryMb("VmRSS:");
    std::printf(
        "preview snapshots bench: %ux%u 2-byte RAW virtual board at 10 frames/s, 30 "
        "slow readers\nidle           %.0f MB resident\n",
        width, height, idle);
    int failures = 0;
    for (const char* path : {"/snapshot.png", "/snapshot.raw"}) {
        resetPeak();
        std::vector<std::unique_ptr<SlowReader>> readers;
        for (int i = 0; i < 30; ++i)
            readers.push_back(std::make_unique<SlowReader>(service.port(), path));
        int served = 0;
        for (auto& r : readers) served += r->status() == 200;
        const double held = memoryMb("VmRSS:");
        const double peak = memoryMb("VmHWM:");
        std::printf(
            "%-14s %d of 30 answered; peak %.0f MB, %.0f MB while held (%.0f MB over idle)\n",
            path + 1, served, peak, held, held - idle);
        failures += served != 30;
        readers.clear();
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the connections end
    }
    service.stop();
    std::remove(config.c_str());
    return failures == 0 ? 0 : 1;
}
