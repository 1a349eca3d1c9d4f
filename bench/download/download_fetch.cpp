// download_fetch URL DESTINATION: one DownloadFile call from the command line,
// for the benchmark and for trying the client by hand. Exit status 0 on success.

#include <cstdio>
#include <string>

#include "services/download.h"
#include "services/text.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: download_fetch URL DESTINATION\n");
        return 2;
    }
    return DownloadFile(Utf8ToWide(argv[1]), WideToPath(Utf8ToWide(argv[2]))) ? 0 : 1;
}
