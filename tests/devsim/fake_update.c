// devsim-fake-update: a stand-in for `update` that exercises what the
// simulated recorder must offer the real one, so the sandbox's run path is
// tested without it: relocation through /proc/self/exe (read from a second
// thread too), pidof of itself, the rate file, the tool-preparation mounts,
// and the reboot sequence (SIGTERM to process 1 three times, then 'r' to
// /proc/rmc/test) with short delays. "-run STATUS" ends with STATUS.
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void* ReadSelf(void* out) {
    ssize_t n = readlink("/proc/self/exe", (char*)out, 255);
    if (n >= 0) ((char*)out)[n] = 0;
    return NULL;
}

static void WriteFile(const char* path, const char* text) {
    FILE* f = fopen(path, "w");
    if (f) {
        fputs(text, f);
        fclose(f);
    }
}

int main(int argc, char** argv) {
    char self[256] = {0};
    const char* status = argc > 2 ? argv[2] : "0";
    if (argc > 1 && strcmp(argv[1], "-run") == 0) {
        pthread_t t;
        pthread_create(&t, NULL, ReadSelf, self);
        pthread_join(t, NULL);
        printf("exe %s\n", self);
        fflush(stdout);
        // Relocate like the updater: copy ourselves to /tmp and run the copy.
        char cmd[512];
        snprintf(cmd, sizeof cmd, "cp -f %s /tmp/memupdate && chmod +x /tmp/memupdate", self);
        if (system(cmd) != 0) return 1;
        execl("/tmp/memupdate", "/tmp/memupdate", "-stage", status, (char*)NULL);
        return 2;
    }
    if (argc < 2 || strcmp(argv[1], "-stage") != 0) return 255;
    ReadSelf(self);
    printf("exe %s pid %d\n", self, (int)getpid());
    fflush(stdout);
    if (system("pidof /tmp/memupdate > /tmp/psResult; echo pidof $(cat /tmp/psResult)") != 0)
        return 3;
    /* The commands print what they did; their status does not matter. */
    int ignored = system(
        "mkdir -p /var/cmdtmp /var/log; cp /lib64/libc-* /var/cmdtmp; "
        "mount --bind /var/cmdtmp/libc-* /lib64/libc-* && echo bound; echo done > "
        "/var/log/update.log");
    (void)ignored;
    const char* rates[] = {"0", "60", "100"};
    for (int i = 0; i < 3; ++i) {
        WriteFile("/tmp/update_rate.log", rates[i]);
        usleep(30000);
    }
    for (int i = 0; i < 3; ++i) {
        usleep(100000);
        sync();
        kill(1, SIGTERM);
    }
    WriteFile("/proc/rmc/test", "r");
    return atoi(status);
}
