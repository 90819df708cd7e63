# The library as an embedder gets it from `cmake --install`:
#
#   lib/libvelmo_image_tools.so.0 (and .a)   every folder's objects in one library
#   include/velmo_image_tools.h              the C entry point
#   include/velmo_image_tools/host/*.h       the host stand-in's channel interface (C++)
#   include/velmo_image_tools/plugin/velmo_image_tools_plugin.h
#   include/velmo_image_tools/method/diagnostics.h   what a call tells beside its reply
#   lib/cmake/velmo_image_tools/             find_package(velmo_image_tools CONFIG)
#   lib/pkgconfig/velmo_image_tools.pc
#   bin/velmo-image-tools, bin/velmo-image-tools-playground   the command-line host and its
#                                            playground server (installed by the main CMakeLists)
#
# The installed headers include only standard headers and each other; the image and drawing
# libraries stay private to the library.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# What the library links, for static consumers. Keep in step with the pkg_check_modules calls
# and giflib at the top of the main CMakeLists.txt. libheif is not among them: it is opened
# when a HEIF file is met (codec/heif_library.cpp), through the dynamic loader.
set(velmo_pkg_modules libjpeg spng libdeflate zlib libwebp libwebpdemux lcms2 cairo pangocairo
    fontconfig freetype2)
list(JOIN velmo_pkg_modules " " velmo_pc_requires)
# The .pc file names them as the flags they give, not as Requires.private: pkg-config adds the
# compiler flags of every required package to --cflags, private or not, and a consumer of the
# C header needs none of Cairo's, Pango's or GLib's. Each library is kept at its last place,
# which keeps every one after the libraries that use it.
execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --static --libs ${velmo_pkg_modules}
                OUTPUT_VARIABLE velmo_pc_static_libs OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(velmo_pc_static_libs UNIX_COMMAND "${velmo_pc_static_libs}")
list(APPEND velmo_pc_static_libs -lgif ${CMAKE_DL_LIBS} -lstdc++ -pthread)
list(TRANSFORM velmo_pc_static_libs REPLACE "^dl$" "-ldl")
list(REVERSE velmo_pc_static_libs)
list(REMOVE_DUPLICATES velmo_pc_static_libs)
list(REVERSE velmo_pc_static_libs)
list(JOIN velmo_pc_static_libs " " velmo_pc_libs_private)
set(velmo_private_libraries PkgConfig::LCMS PkgConfig::JPEG PkgConfig::SPNG PkgConfig::DEFLATE
    PkgConfig::ZLIB PkgConfig::WEBP PkgConfig::HEIF velmo_giflib PkgConfig::CAIRO PkgConfig::PANGO Threads::Threads)

get_property(velmo_object_libraries GLOBAL PROPERTY VELMO_OBJECT_LIBRARIES)
set(velmo_objects)
foreach(library IN LISTS velmo_object_libraries)
  list(APPEND velmo_objects $<TARGET_OBJECTS:${library}>)
endforeach()

set(velmo_install_headers ${CMAKE_INSTALL_INCLUDEDIR}/velmo_image_tools)

add_library(velmo_image_tools_shared SHARED ${velmo_objects})
add_library(velmo_image_tools_static STATIC ${velmo_objects})
foreach(target velmo_image_tools_shared velmo_image_tools_static)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME velmo_image_tools LINKER_LANGUAGE CXX)
  target_include_directories(${target} INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/capi>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}> $<INSTALL_INTERFACE:${velmo_install_headers}>)
  target_compile_features(${target} INTERFACE cxx_std_20)
endforeach()

# Only the C entry point and the C++ classes of the installed headers are exported; the rest
# stays local, so the library's internals never meet a consumer's own symbols.
set_target_properties(velmo_image_tools_shared PROPERTIES
  EXPORT_NAME image_tools
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/velmo_image_tools.map)
target_link_options(velmo_image_tools_shared PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/velmo_image_tools.map)
# Every symbol resolved when the library is linked; not under the sanitizers, whose runtime
# clang links into programs only.
if(NOT (VELMO_SANITIZE OR VELMO_SANITIZE_THREAD OR VELMO_LIBFUZZER))
  target_link_options(velmo_image_tools_shared PRIVATE -Wl,--no-undefined)
endif()
target_link_libraries(velmo_image_tools_shared PRIVATE ${velmo_private_libraries})

# A static archive carries none of its dependencies: a consumer links them. In the installed
# package they come together as velmo::image_tools_deps, which the package config makes.
set_target_properties(velmo_image_tools_static PROPERTIES EXPORT_NAME image_tools_static)
target_link_libraries(velmo_image_tools_static INTERFACE
  "$<BUILD_INTERFACE:${velmo_private_libraries}>"
  $<INSTALL_INTERFACE:velmo::image_tools_deps>)

install(TARGETS velmo_image_tools_shared EXPORT velmo_image_tools_shared
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS velmo_image_tools_static EXPORT velmo_image_tools_static
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

install(FILES capi/velmo_image_tools.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
file(GLOB velmo_host_headers ${PROJECT_SOURCE_DIR}/host/*.h)
install(FILES ${velmo_host_headers} DESTINATION ${velmo_install_headers}/host)
install(FILES plugin/velmo_image_tools_plugin.h DESTINATION ${velmo_install_headers}/plugin)
install(FILES method/diagnostics.h DESTINATION ${velmo_install_headers}/method)

set(velmo_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/velmo_image_tools)
install(EXPORT velmo_image_tools_shared NAMESPACE velmo:: DESTINATION ${velmo_cmake_dir}
        FILE velmo_image_tools-shared-targets.cmake)
install(EXPORT velmo_image_tools_static NAMESPACE velmo:: DESTINATION ${velmo_cmake_dir}
        FILE velmo_image_tools-static-targets.cmake)
configure_package_config_file(cmake/velmo_image_toolsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velmo_image_toolsConfig.cmake INSTALL_DESTINATION ${velmo_cmake_dir})
# 0.x releases may change the interface from one minor version to the next.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velmo_image_toolsConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velmo_image_toolsConfig.cmake
              ${PROJECT_BINARY_DIR}/velmo_image_toolsConfigVersion.cmake
        DESTINATION ${velmo_cmake_dir})

# The prefix as seen from the installed .pc file, so that the installed tree can be moved.
set(velmo_pc_prefix "\${pcfiledir}")
string(REPLACE "/" ";" velmo_pc_depth "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
foreach(component IN LISTS velmo_pc_depth)
  string(APPEND velmo_pc_prefix "/..")
endforeach()
configure_file(cmake/velmo_image_tools.pc.in ${PROJECT_BINARY_DIR}/velmo_image_tools.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velmo_image_tools.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
