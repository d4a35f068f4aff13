# System libraries the SDK links (all from Debian packages; see docs/DEPENDENCIES.md).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-shm)
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(SPANDSP REQUIRED IMPORTED_TARGET spandsp)
pkg_check_modules(OPENH264 REQUIRED IMPORTED_TARGET openh264)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
# Tests compare the snapshot encoder with libjpeg-turbo's own float DCT through its libjpeg API.
pkg_check_modules(LIBJPEG REQUIRED IMPORTED_TARGET libjpeg)
# libswscale scales pictures in the surface layer's stretch blit.
pkg_check_modules(SWSCALE REQUIRED IMPORTED_TARGET libswscale libavutil)
# libyuv scales UYVY and 32-bit RGB in the stretch blit (Debian ships no pkg-config file).
find_path(YUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(YUV_LIBRARY yuv REQUIRED)
add_library(kvnet_yuv INTERFACE)
target_include_directories(kvnet_yuv INTERFACE ${YUV_INCLUDE_DIR})
target_link_libraries(kvnet_yuv INTERFACE ${YUV_LIBRARY})
# libavcodec is loaded at run time; only its headers (for the major version) are used.
pkg_check_modules(AVCODEC REQUIRED IMPORTED_TARGET libavcodec)
# Tests, benchmarks and the device simulator link libavcodec directly as an independent peer.
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)

find_path(XVID_INCLUDE_DIR xvid.h REQUIRED)
find_library(XVID_LIBRARY xvidcore REQUIRED)
add_library(kvnet_xvid INTERFACE)
target_include_directories(kvnet_xvid INTERFACE ${XVID_INCLUDE_DIR})
target_link_libraries(kvnet_xvid INTERFACE ${XVID_LIBRARY})

find_package(GTest)
find_package(benchmark)
