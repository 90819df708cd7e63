# Configures the stand-in app of app/ as Flutter's tool lays an app out: the package reached
# through linux/flutter/ephemeral/.plugin_symlinks/velmo_image_tools, a link to the package's
# folder, and the build in a folder of its own. Then compiles the glue (against the real
# headers, with the app's settings), one core source (as C++20) and the app's file including
# the plug-in's header in that build, and checks what the app would bundle and install.
# Nothing is linked: the embedding's library is not here.
#   cmake -DSOURCE_DIR=<repository> -DWORK_DIR=<scratch> -DHEADERS=<flutter_linux include>
#         -DGENERATOR=Ninja -P app_build.cmake
foreach(variable SOURCE_DIR WORK_DIR HEADERS GENERATOR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
set(app "${WORK_DIR}/my_app/linux")
file(MAKE_DIRECTORY "${app}/flutter/ephemeral/.plugin_symlinks")
file(COPY "${SOURCE_DIR}/tests/flutter/app/CMakeLists.txt" "${SOURCE_DIR}/tests/flutter/app/main.cc"
          "${SOURCE_DIR}/tests/flutter/app/standard_settings.cmake"
     DESTINATION "${app}")
file(CREATE_LINK "${SOURCE_DIR}/flutter" "${app}/flutter/ephemeral/.plugin_symlinks/velmo_image_tools"
     SYMBOLIC)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command} failed (${status}):\n${out}")
  endif()
endfunction()

set(build "${WORK_DIR}/build")
run(${CMAKE_COMMAND} -S "${app}" -B "${build}" -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=Profile
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    -DFLUTTER_HEADERS=${HEADERS})

# The glue as the app compiles it, and a core source with the flags the core gives its own.
set(glue plugins/velmo_image_tools/CMakeFiles/velmo_image_tools_plugin.dir/velmo_image_tools_plugin.cc.o)
set(core plugins/velmo_image_tools/velmo_core/CMakeFiles/velmo_capi_objects.dir/capi/velmo_image_tools.cpp.o)
# The app's own file includes the plug-in's header as the generated registrant does.
set(app_main CMakeFiles/runner.dir/main.cc.o)
run(${CMAKE_COMMAND} --build "${build}" --target "${glue}" "${core}" "${app_main}")
file(READ "${build}/compile_commands.json" commands)
string(REGEX MATCH "[^\n]*-o ${core}[^\n]*" core_command "${commands}")
if(NOT core_command MATCHES "-std=c\\+\\+20" OR NOT core_command MATCHES "-O2")
  message(FATAL_ERROR "the core is not compiled as optimised C++20:\n${core_command}")
endif()
string(REGEX MATCH "[^\n]*-o ${glue}[^\n]*" glue_command "${commands}")
if(NOT glue_command MATCHES "-std=(gnu|c)\\+\\+14" OR NOT glue_command MATCHES "-Werror"
   OR NOT glue_command MATCHES "-fvisibility=hidden")
  message(FATAL_ERROR "the glue is not compiled with the app's settings:\n${glue_command}")
endif()

# Only the plug-in's own library goes beside the app's binary, and the core installs nothing.
file(STRINGS "${build}/bundled_libraries.txt" bundled)
if(NOT bundled STREQUAL "${build}/plugins/velmo_image_tools/libvelmo_image_tools_plugin.so")
  message(FATAL_ERROR "bundled libraries: ${bundled}")
endif()
file(GLOB_RECURSE install_scripts "${build}/plugins/*.cmake")
list(FILTER install_scripts INCLUDE REGEX "/cmake_install\\.cmake$")
list(LENGTH install_scripts count)
if(count LESS 2)
  message(FATAL_ERROR "the install scripts of the plug-in and its core are missing: ${install_scripts}")
endif()
foreach(script ${install_scripts})
  file(STRINGS "${script}" installs REGEX "file\\(INSTALL")
  if(installs)
    message(FATAL_ERROR "${script} installs: ${installs}")
  endif()
endforeach()
message(STATUS "the app's build compiled the glue and the core through the package link")
