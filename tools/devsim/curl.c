// devsim-curl URL OUTFILE [LOW_SPEED_SECONDS]
// Fetches URL with libcurl the way the updater does (library defaults, so TLS
// is verified against the device's CA file) and prints one line:
//   result R response C length L bytes B attempts A
// With LOW_SPEED_SECONDS, a transfer slower than 1 byte/s for that long is
// resumed from the bytes received so far, as the updater does after a stall.
// Exit 0 only for result 0 with response 200 or 206.
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: devsim-curl URL OUTFILE [LOW_SPEED_SECONDS]\n");
        return 2;
    }
    FILE* out = fopen(argv[2], "w+b");
    if (!out) {
        perror(argv[2]);
        return 2;
    }
    CURL* c = curl_easy_init();
    if (!c) return 3;
    curl_easy_setopt(c, CURLOPT_URL, argv[1]);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, out);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    if (argc == 4) {
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, atol(argv[3]));
    }
    CURLcode rc;
    long code = 0;
    curl_off_t length = -1, size = 0, total = 0;
    int attempts = 0;
    for (;;) {
        ++attempts;
        rc = curl_easy_perform(c);
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
        curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &size);
        total += size;
        if (rc != CURLE_OPERATION_TIMEDOUT || argc != 4 || size == 0 || attempts > 20) break;
        curl_easy_setopt(c, CURLOPT_RESUME_FROM_LARGE, total);
    }
    printf("result %d response %ld length %lld bytes %lld attempts %d\n", (int)rc, code,
           (long long)length, (long long)total, attempts);
    curl_easy_cleanup(c);
    fclose(out);
    return rc == CURLE_OK && (code == 200 || code == 206) ? 0 : 1;
}
