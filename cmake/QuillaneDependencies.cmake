# Every third-party dependency is an imported target named qh::<name>, so that
# subsystem CMake files are the same for both platforms.

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  find_package(Threads REQUIRED)
  find_package(Boost 1.74 REQUIRED COMPONENTS system)
  find_package(nlohmann_json 3 REQUIRED)
  find_package(fmt REQUIRED)
  find_package(spdlog REQUIRED)

  add_library(qh::boost INTERFACE IMPORTED)
  target_link_libraries(qh::boost INTERFACE Boost::boost Boost::system Threads::Threads)
  target_compile_definitions(qh::boost INTERFACE BOOST_ASIO_NO_DEPRECATED)
  add_library(qh::json INTERFACE IMPORTED)
  target_link_libraries(qh::json INTERFACE nlohmann_json::nlohmann_json)
  add_library(qh::spdlog INTERFACE IMPORTED)
  target_link_libraries(qh::spdlog INTERFACE spdlog::spdlog fmt::fmt)
  # SPDLOG_DEBUG and SPDLOG_TRACE stay compiled in; the logger's level filters them.
  target_compile_definitions(qh::spdlog INTERFACE SPDLOG_ACTIVE_LEVEL=SPDLOG_LEVEL_TRACE)

  pkg_check_modules(QH_OPUS REQUIRED IMPORTED_TARGET opus)
  pkg_check_modules(QH_X264 REQUIRED IMPORTED_TARGET x264)
  pkg_check_modules(QH_PNG REQUIRED IMPORTED_TARGET libpng)
  pkg_check_modules(QH_PULSE REQUIRED IMPORTED_TARGET libpulse)
  pkg_check_modules(QH_X11 REQUIRED IMPORTED_TARGET x11 xext xcomposite xdamage xfixes xrandr xtst)
  pkg_check_modules(QH_GLFW REQUIRED IMPORTED_TARGET glfw3)
  pkg_check_modules(QH_GL REQUIRED IMPORTED_TARGET gl)
  pkg_check_modules(QH_IMGUI REQUIRED IMPORTED_TARGET imgui)
  pkg_check_modules(QH_CURL REQUIRED IMPORTED_TARGET libcurl)
  add_library(qh::opus ALIAS PkgConfig::QH_OPUS)
  add_library(qh::x264 ALIAS PkgConfig::QH_X264)
  add_library(qh::png ALIAS PkgConfig::QH_PNG)
  add_library(qh::pulse ALIAS PkgConfig::QH_PULSE)
  add_library(qh::x11 ALIAS PkgConfig::QH_X11)
  add_library(qh::glfw ALIAS PkgConfig::QH_GLFW)
  add_library(qh::gl ALIAS PkgConfig::QH_GL)
  add_library(qh::imgui ALIAS PkgConfig::QH_IMGUI)
  add_library(qh::curl ALIAS PkgConfig::QH_CURL)

  # libyuv ships no pkg-config file.
  find_path(QH_YUV_INCLUDE libyuv.h REQUIRED)
  find_library(QH_YUV_LIBRARY yuv REQUIRED)
  add_library(qh::yuv UNKNOWN IMPORTED)
  set_target_properties(qh::yuv PROPERTIES IMPORTED_LOCATION ${QH_YUV_LIBRARY}
                                           INTERFACE_INCLUDE_DIRECTORIES ${QH_YUV_INCLUDE})

  find_path(QH_STB_INCLUDE stb/stb_image.h REQUIRED)
  add_library(qh::stb INTERFACE IMPORTED)
  target_include_directories(qh::stb INTERFACE ${QH_STB_INCLUDE}/stb)

  # NVENC's header compiles natively too, so the parameter filling is tested on Linux.
  find_path(QH_NVENC_INCLUDE ffnvcodec/nvEncodeAPI.h REQUIRED)
  add_library(qh::nvenc_headers INTERFACE IMPORTED)
  target_include_directories(qh::nvenc_headers INTERFACE ${QH_NVENC_INCLUDE}/ffnvcodec)

  if(QH_BUILD_TESTS)
    find_package(GTest REQUIRED)
    pkg_check_modules(QH_AVCODEC REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale)
    add_library(qh::avcodec ALIAS PkgConfig::QH_AVCODEC)
    # The update checker's tests serve HTTPS with a certificate they make.
    find_package(OpenSSL 3 REQUIRED)
    add_library(qh::openssl INTERFACE IMPORTED)
    target_link_libraries(qh::openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
  endif()
  if(QH_BUILD_BENCH)
    find_package(benchmark REQUIRED)
  endif()
else()
  # Header-only libraries come from Debian's /usr/include through a folder of
  # symlinks, so MinGW never sees glibc's headers.
  set(QH_WIN_HEADERS ${CMAKE_BINARY_DIR}/debian-headers)
  file(MAKE_DIRECTORY ${QH_WIN_HEADERS})
  foreach(dir boost nlohmann spdlog fmt stb ffnvcodec)
    if(NOT EXISTS ${QH_WIN_HEADERS}/${dir})
      file(CREATE_LINK /usr/include/${dir} ${QH_WIN_HEADERS}/${dir} SYMBOLIC)
    endif()
  endforeach()
  set(QH_WIN_DEPS ${CMAKE_SOURCE_DIR}/.cache/win-deps CACHE PATH "MinGW builds of opus and imgui")
  if(NOT EXISTS ${QH_WIN_DEPS}/lib/libopus.a)
    message(FATAL_ERROR "Run scripts/build-win-deps.sh first (missing ${QH_WIN_DEPS})")
  endif()

  find_package(Threads REQUIRED)
  add_library(qh::boost INTERFACE IMPORTED)
  target_include_directories(qh::boost SYSTEM INTERFACE ${QH_WIN_HEADERS})
  target_compile_definitions(qh::boost INTERFACE BOOST_ASIO_NO_DEPRECATED BOOST_ERROR_CODE_HEADER_ONLY)
  # Boost 1.74's Asio uses std::exchange without including <utility> on MinGW.
  target_compile_options(qh::boost INTERFACE -include utility)
  target_link_libraries(qh::boost INTERFACE ws2_32 mswsock Threads::Threads)
  add_library(qh::json INTERFACE IMPORTED)
  target_include_directories(qh::json SYSTEM INTERFACE ${QH_WIN_HEADERS})
  add_library(qh::spdlog INTERFACE IMPORTED)
  target_include_directories(qh::spdlog SYSTEM INTERFACE ${QH_WIN_HEADERS})
  # Wide file names, so that log files under non-ASCII profile folders open.
  target_compile_definitions(qh::spdlog INTERFACE FMT_HEADER_ONLY SPDLOG_FMT_EXTERNAL SPDLOG_WCHAR_FILENAMES
                                                  SPDLOG_ACTIVE_LEVEL=SPDLOG_LEVEL_TRACE)
  add_library(qh::stb INTERFACE IMPORTED)
  target_include_directories(qh::stb SYSTEM INTERFACE ${QH_WIN_HEADERS}/stb)
  add_library(qh::nvenc_headers INTERFACE IMPORTED)
  target_include_directories(qh::nvenc_headers SYSTEM INTERFACE ${QH_WIN_HEADERS}/ffnvcodec)

  add_library(qh::opus STATIC IMPORTED)
  set_target_properties(qh::opus PROPERTIES IMPORTED_LOCATION ${QH_WIN_DEPS}/lib/libopus.a
                                            INTERFACE_INCLUDE_DIRECTORIES ${QH_WIN_DEPS}/include/opus
                                            INTERFACE_LINK_LIBRARIES "-l:libssp.a")
  add_library(qh::imgui STATIC IMPORTED)
  set_target_properties(qh::imgui PROPERTIES IMPORTED_LOCATION ${QH_WIN_DEPS}/lib/libimgui.a
                                             INTERFACE_INCLUDE_DIRECTORIES ${QH_WIN_DEPS}/include/imgui
                                             INTERFACE_LINK_LIBRARIES "d3d11;dxgi;d3dcompiler;dwmapi;imm32")

  if(QH_BUILD_TESTS)
    # GoogleTest from Debian's source package, built with the cross compiler.
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  endif()
endif()
