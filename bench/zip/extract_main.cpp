// Benchmark driver: extract_main PACKAGE DESTINATION, exit code 0 on success.
#include <cstdio>

#include "zip/zip_extract.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PACKAGE DESTINATION\n", argv[0]);
        return 2;
    }
    return ExtractZip(argv[1], argv[2]) ? 0 : 1;
}
