// Runs one command and reports how long it took and how often it rewrote the
// files of a directory: every close of a file opened for writing counts.
// Used by fetch_bench.sh inside the simulated recorder, where it watches
// "/tmp" for the rate file and the download status file.
//
//   fetch_watch DIR CMD [ARGS...]
// prints: status=N seconds=S fetched=F writes: NAME=COUNT ...   (exit status: CMD's)
// where F is when "Program.bin" was last closed after writing (the end of the
// fetch; the check that follows only reads it), 0 when it never was.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

void Drain(int fd, std::map<std::string, int>* counts, Clock::time_point* fetched) {
    alignas(inotify_event) char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) return;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if (ev->len > 0 && (ev->mask & IN_CLOSE_WRITE) != 0) {
                ++(*counts)[ev->name];
                if (std::string(ev->name) == "Program.bin") *fetched = Clock::now();
            }
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: fetch_watch DIR CMD [ARGS...]\n");
        return 2;
    }
    const int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // The queue merges an event with an identical one before it that is not
    // read yet; the open between two closes keeps every close apart. Not
    // IN_MODIFY: an event per write() would make this watcher compete for the
    // CPU with the fetch it measures (65,536 writes for 1 GiB over TLS).
    if (in < 0 || inotify_add_watch(in, argv[1], IN_CLOSE_WRITE | IN_OPEN) < 0) {
        std::perror("inotify");
        return 2;
    }
    const auto start = Clock::now();
    Clock::time_point fetched = start;
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    std::map<std::string, int> counts;
    int status = 0;
    for (;;) {
        pollfd p{in, POLLIN, 0};
        (void)poll(&p, 1, 5);
        Drain(in, &counts, &fetched);
        if (waitpid(pid, &status, WNOHANG) == pid) break;
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    Drain(in, &counts, &fetched);
    const std::chrono::duration<double> fetch = fetched - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("status=%d seconds=%.3f fetched=%.3f writes:", code, took.count(), fetch.count());
    for (const auto& [name, count] : counts) std::printf(" %s=%d", name.c_str(), count);
    std::printf("\n");
    return code;
}
