# libdeflate (whole-entry inflating and CRC-32) has no MinGW package, so the
# Windows build compiles the parts it uses from Debian's source of the same
# release that the POSIX build links (libdeflate-dev), checked by its SHA-256.
include(FetchContent)
FetchContent_Declare(libdeflate
  URL http://deb.debian.org/debian/pool/main/libd/libdeflate/libdeflate_1.14.orig.tar.gz
  URL_HASH SHA256=89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE)
FetchContent_GetProperties(libdeflate)
if(NOT libdeflate_POPULATED)
  FetchContent_Populate(libdeflate)
endif()
add_library(libdeflate_static STATIC
  ${libdeflate_SOURCE_DIR}/lib/deflate_decompress.c
  ${libdeflate_SOURCE_DIR}/lib/crc32.c
  ${libdeflate_SOURCE_DIR}/lib/utils.c
  ${libdeflate_SOURCE_DIR}/lib/x86/cpu_features.c)
target_compile_options(libdeflate_static PRIVATE -O2 -w)
target_include_directories(libdeflate_static SYSTEM PUBLIC ${libdeflate_SOURCE_DIR})
