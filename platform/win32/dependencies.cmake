# The libraries of the Windows build: libcurl (Schannel), libuv, minizip and GoogleTest built static from Debian's
# source packages by tools/windows-deps.sh into ZANTHO_WINDOWS_DEPS, zlib from libz-mingw-w64-dev, spdlog, fmt and
# RapidJSON header-only. They take the names the POSIX build's targets have, so the other folders name one library.
if(NOT ZANTHO_WINDOWS_DEPS)
  message(FATAL_ERROR "ZANTHO_WINDOWS_DEPS is not set: configure through tools/build-windows.sh")
endif()
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
find_package(CURL CONFIG REQUIRED)
find_package(libuv CONFIG REQUIRED)
find_package(GTest CONFIG REQUIRED)

add_library(PkgConfig::CURL INTERFACE IMPORTED GLOBAL)
target_link_libraries(PkgConfig::CURL INTERFACE CURL::libcurl)
add_library(PkgConfig::UV INTERFACE IMPORTED GLOBAL)
target_link_libraries(PkgConfig::UV INTERFACE uv_a)
add_library(minizip STATIC IMPORTED GLOBAL)
set_target_properties(minizip PROPERTIES IMPORTED_LOCATION ${ZANTHO_WINDOWS_DEPS}/lib/libminizip.a
                      INTERFACE_INCLUDE_DIRECTORIES ${ZANTHO_WINDOWS_DEPS}/include INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
add_library(fmt::fmt INTERFACE IMPORTED GLOBAL)
target_include_directories(fmt::fmt INTERFACE ${ZANTHO_WINDOWS_DEPS}/include)
target_compile_definitions(fmt::fmt INTERFACE FMT_HEADER_ONLY)
add_library(spdlog::spdlog INTERFACE IMPORTED GLOBAL)
target_link_libraries(spdlog::spdlog INTERFACE fmt::fmt)

# RapidJSON's headers too come through the dependency prefix, which every folder reaches through the platform.
set(platform_libraries Threads::Threads PkgConfig::UV ZLIB::ZLIB user32 gdi32 comctl32 shell32 advapi32 ole32 oleaut32 uuid
    taskschd)
set(platform_include_directories ${ZANTHO_WINDOWS_DEPS}/include)
# <windows.h> reaches many files through libcurl, libuv and spdlog; read first everywhere, after the platform's own
# headers, its macros that carry the platform's names are dropped once for every file.
set(platform_compile_options "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/windows_base.h>")
# Test programs are listed when the suite runs (under the emulator), not at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
set(ZANTHO_HOST_TEST_LIBRARIES OFF)
set(ZANTHO_LINKED_RESOURCES ON)
# The C runtime's start, which calls wWinMain, comes from mingw's own library at the end of the link line, after the
# launcher's archive has been passed: the entry is asked for from the start.
set(ZANTHO_MAIN_LINK_OPTIONS -mwindows -municode -Wl,--undefined=wWinMain)
