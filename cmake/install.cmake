# cmake --install: the library with its soname links, the public headers
# under include/vora, the CMake package (find_package(VoraSDK) gives
# VoraSDK::VoraSDK) and VoraSDK.pc. Every path is relative to the prefix, so
# `cmake --install <build> --prefix P` may choose P at install time.
include(CMakePackageConfigHelpers)
set(VORA_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VoraSDK)

install(TARGETS VoraSDK EXPORT VoraSDKTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB vora_install_headers ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${vora_install_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vora)

install(EXPORT VoraSDKTargets NAMESPACE VoraSDK:: DESTINATION ${VORA_CMAKE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VoraSDKConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VoraSDKConfig.cmake
  INSTALL_DESTINATION ${VORA_CMAKE_INSTALL_DIR})
# The soname changes with the major version; so does compatibility.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VoraSDKConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VoraSDKConfig.cmake ${PROJECT_BINARY_DIR}/VoraSDKConfigVersion.cmake
  DESTINATION ${VORA_CMAKE_INSTALL_DIR})

# pkg-config finds the prefix from where the file lies.
file(RELATIVE_PATH VORA_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/VoraSDK.pc.in ${PROJECT_BINARY_DIR}/VoraSDK.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/VoraSDK.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tool, the ROS 2 bridge and the simulated camera; the tool and the bridge find the library beside it.
file(RELATIVE_PATH vora_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
if(TARGET vora)
  set_target_properties(vora PROPERTIES INSTALL_RPATH "$ORIGIN/${vora_bin_to_lib}")
  install(TARGETS vora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET vora-ros2)
  set_target_properties(vora-ros2 PROPERTIES INSTALL_RPATH "$ORIGIN/${vora_bin_to_lib}")
  install(TARGETS vora-ros2 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET vora-camsim)
  install(TARGETS vora-camsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Programs linked through pkg-config (or a plain -lVoraSDK) find the library
# only through the loader: say what to do when it does not know it yet.
install(CODE "
  set(dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\")
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
    execute_process(COMMAND ldconfig -p OUTPUT_VARIABLE cache ERROR_QUIET)
    string(FIND \"\${cache}\" \"\${dir}/libVoraSDK.so.1\" listed)
    if(listed EQUAL -1)
      message(STATUS \"The loader does not know \${dir} yet: run ldconfig if it is one of its folders (/usr/local/lib is), or start programs with LD_LIBRARY_PATH=\${dir}, or link them with -Wl,-rpath,\${dir}\")
    endif()
  endif()")
