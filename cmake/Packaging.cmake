# Release packages, laid out as they install into a media server's directory: the plugin package (the plugin,
# vantra-host, the configuration template, INSTALL.txt) and the emulators package (the SDK emulator with its
# clips, the platform server emulator), for trying the plugin without a cloud account. scripts/package makes them.
if(WIN32)
  set(VANTRA_PLATFORM win64)
  set(VANTRA_SDK_FILE Lumavex.dll)
  set(VANTRA_CHECK "bin\\vantra-host.exe --check")
  set(VANTRA_REQUIREMENTS "Windows x64; nothing else is needed (the C++ runtime is linked into each binary).")
  set(CPACK_GENERATOR ZIP)
else()
  set(VANTRA_PLATFORM linux-x86_64)
  set(VANTRA_SDK_FILE libLumavex.so)
  set(VANTRA_CHECK "bin/vantra-host --check")
  set(VANTRA_REQUIREMENTS "Linux x86-64 with Debian 12's libraries:\n  apt-get install libxml2 libspdlog1.10 libfmt9 libcpp-httplib0.11")
  set(CPACK_GENERATOR TGZ)
endif()
set(VANTRA_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_SOURCE_DIR}/packaging/INSTALL.txt ${CMAKE_BINARY_DIR}/INSTALL.txt @ONLY)

install(FILES ${CMAKE_BINARY_DIR}/INSTALL.txt DESTINATION . COMPONENT plugin)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/VantraIotSMSConfig.xml DESTINATION plugins/vantraiot_plugin
        COMPONENT plugin)
install(TARGETS Lumavex RUNTIME DESTINATION plugins/vantraiot_plugin COMPONENT emulators
                        LIBRARY DESTINATION plugins/vantraiot_plugin COMPONENT emulators)
install(FILES ${CMAKE_SOURCE_DIR}/emulators/lumavex/media/clip.h264 ${CMAKE_SOURCE_DIR}/emulators/lumavex/media/clip.h265
        DESTINATION plugins/vantraiot_plugin/lumavex-media COMPONENT emulators)
install(TARGETS vantra-platform-emu RUNTIME DESTINATION bin COMPONENT emulators)

set(CPACK_PACKAGE_NAME VantraIotSMSPlugin)
set(CPACK_PACKAGE_VENDOR VantraIot)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VantraIot SMS plugin: live video from the Lumavex cloud for a stream media server")
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin emulators)
set(CPACK_ARCHIVE_PLUGIN_FILE_NAME VantraIotSMSPlugin-${PROJECT_VERSION}-${VANTRA_PLATFORM})
set(CPACK_ARCHIVE_EMULATORS_FILE_NAME VantraIotSMSPlugin-${PROJECT_VERSION}-${VANTRA_PLATFORM}-emulators)
# Unpacked straight into the media server's directory: no top directory of the package's own.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
