// download_fetch URL DESTINATION [SHA256]: one DownloadFile call from the
// command line, for the benchmark and for trying the client by hand; with a
// digest, a DownloadPackage call that checks the body against it. Exit status
// 0 on success.

#include <cstdio>
#include <string>

#include "base/text.h"
#include "net/download.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: download_fetch URL DESTINATION [SHA256]\n");
        return 2;
    }
    const std::wstring url = Utf8ToWide(argv[1]);
    const auto destination = WideToPath(Utf8ToWide(argv[2]));
    if (argc == 4) return DownloadPackage(url, destination, PackageCheck{argv[3], {}}) ? 0 : 1;
    return DownloadFile(url, destination) ? 0 : 1;
}
