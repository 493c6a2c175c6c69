// devsim-fake-update: a stand-in for `update` that exercises what the
// simulated recorder must offer the real one, so the sandbox's run path is
// tested without it: relocation through /proc/self/exe (read from a second
// thread too), pidof of itself, the rate file, the tool-preparation mounts,
// and the reboot sequence (SIGTERM to process 1 three times, then 'r' to
// /proc/rmc/test) with short delays.
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

static void Rate(const char* text) {
    FILE* f = fopen("/tmp/update_rate.log", "w");
    if (f) {
        fputs(text, f);
        fclose(f);
    }
    usleep(30000);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        puts("usage: devsim-fake-update -v | -run");
        return 255;
    }
    if (strcmp(argv[1], "-v") == 0) {
        char line[256];
        FILE* f = fopen("/program/.version", "r");
        while (f && fgets(line, sizeof line, f)) printf("version %s", line);
        if (f) fclose(f);
        f = fopen("/proc/board_type", "r");
        printf("Board type: %s", f && fgets(line, sizeof line, f) ? line : "Unknown\n");
        if (f) fclose(f);
        return 0;
    }
    if (strcmp(argv[1], "-run") == 0) {
        char self[256] = {0};
        pthread_t t;
        pthread_create(&t, NULL, ReadSelf, self);
        pthread_join(t, NULL);
        printf("exe %s\n", self);
        fflush(stdout);
        // Relocate like the updater: copy ourselves to /tmp and run the copy.
        char cmd[512];
        snprintf(cmd, sizeof cmd, "cp -f %s /tmp/memupdate && chmod +x /tmp/memupdate", self);
        if (system(cmd) != 0) return 1;
        execl("/tmp/memupdate", "/tmp/memupdate", "-stage", (char*)NULL);
        return 2;
    }
    if (strcmp(argv[1], "-stage") == 0) {
        char self[256] = {0};
        ReadSelf(self);
        printf("exe %s pid %d\n", self, (int)getpid());
        fflush(stdout);
        if (system("pidof /tmp/memupdate > /tmp/psResult; echo pidof $(cat /tmp/psResult)") != 0)
            return 3;
        system(
            "mkdir -p /var/cmdtmp /var/log; cp /lib64/libc-* /var/cmdtmp; "
            "mount --bind /var/cmdtmp/libc-* /lib64/libc-* && echo bound; echo done > "
            "/var/log/update.log");
        Rate("0");
        Rate("60");
        Rate("100");
        for (int i = 0; i < 3; ++i) {
            usleep(100000);
            sync();
            kill(1, SIGTERM);
        }
        FILE* f = fopen("/proc/rmc/test", "w");
        if (f) {
            fputc('r', f);
            fclose(f);
        }
        return atoi(argc > 2 ? argv[2] : "0");
    }
    return 1;
}
