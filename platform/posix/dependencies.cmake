# The libraries of the POSIX build, all from Debian's packages. Besides the launcher's own, the suites use this
# machine's OpenSSL, cpp-httplib and Google Benchmark (ZANTHO_HOST_TEST_LIBRARIES).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(RapidJSON REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET GLOBAL libcurl)
pkg_check_modules(UV REQUIRED IMPORTED_TARGET GLOBAL libuv)
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET GLOBAL gtk+-3.0)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)
# minizip's own cflags add -I/usr/include/minizip, which shadows <crypt.h>; include it as <minizip/unzip.h>.
find_library(MINIZIP_LIBRARY minizip REQUIRED)
add_library(minizip INTERFACE IMPORTED GLOBAL)
target_link_libraries(minizip INTERFACE ${MINIZIP_LIBRARY} ZLIB::ZLIB)

set(platform_libraries Threads::Threads PkgConfig::UV PkgConfig::GTK3 ${CMAKE_DL_LIBS})
set(ZANTHO_HOST_TEST_LIBRARIES ON)
set(ZANTHO_LINKED_RESOURCES OFF)
