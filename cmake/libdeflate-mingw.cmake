# libdeflate (whole-entry inflating and CRC-32) has no MinGW package, so the
# Windows build compiles the parts it uses from Debian's source of the same
# release that the POSIX build links (libdeflate-dev). The source comes
# through apt (`apt-get source`, with the source entries scripts/setup.sh
# enables), so apt's mirror, proxy and signature checks apply, and is pinned by
# version and checked by its SHA-256 here. Offline, or without apt, unpack that
# tarball anywhere and configure with -DFETCHCONTENT_SOURCE_DIR_LIBDEFLATE=DIR.
set(LIBDEFLATE_DEBIAN_VERSION 1.14-1)
set(LIBDEFLATE_ORIG libdeflate_1.14.orig.tar.gz)
set(LIBDEFLATE_SHA256 89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac)

include(FetchContent)
set(libdeflate_download ${CMAKE_BINARY_DIR}/_deps/libdeflate-apt)
if(NOT FETCHCONTENT_SOURCE_DIR_LIBDEFLATE AND NOT EXISTS ${libdeflate_download}/${LIBDEFLATE_ORIG})
  find_program(APT_GET apt-get)
  file(MAKE_DIRECTORY ${libdeflate_download})
  execute_process(COMMAND ${APT_GET} source --download-only libdeflate=${LIBDEFLATE_DEBIAN_VERSION}
                  WORKING_DIRECTORY ${libdeflate_download} RESULT_VARIABLE apt_result
                  OUTPUT_QUIET ERROR_VARIABLE apt_errors)
  if(NOT apt_result EQUAL 0 OR NOT EXISTS ${libdeflate_download}/${LIBDEFLATE_ORIG})
    message(FATAL_ERROR "apt-get source libdeflate=${LIBDEFLATE_DEBIAN_VERSION} failed (${apt_errors}). "
                        "Run scripts/setup.sh, which enables apt's source entries, or unpack "
                        "${LIBDEFLATE_ORIG} and configure with -DFETCHCONTENT_SOURCE_DIR_LIBDEFLATE=<its folder>.")
  endif()
endif()
FetchContent_Declare(libdeflate
  URL ${libdeflate_download}/${LIBDEFLATE_ORIG}
  URL_HASH SHA256=${LIBDEFLATE_SHA256}
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
