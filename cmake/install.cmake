# cmake --install: the daemon, the list builder, the sample configuration,
# the report templates, the list public key and the man pages.
include(GNUInstallDirs)

set(VRX_INSTALL_CONFIG ${CMAKE_SOURCE_DIR}/conf/vorex-icapd.ini CACHE FILEPATH
    "File installed as SYSCONFDIR/vorex/vorex-icapd.ini")
set(VRX_TEMPLATES_INSTALL_DIR ${CMAKE_INSTALL_SYSCONFDIR}/vorex/templates/icapd CACHE STRING
    "Where the report templates are installed (the Templates key of the installed configuration)")

install(TARGETS vorex-icapd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS uwl_build RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VRX_UWL_PUBLIC_KEY} DESTINATION ${CMAKE_INSTALL_DATADIR}/vorex-icapd
        RENAME uwl_public.pem)
install(FILES ${CMAKE_SOURCE_DIR}/conf/vorex-icapd.ini DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vorex-icapd/examples)

# Configuration and templates are the administrator's once installed: an
# existing file is kept (a package manages them as conffiles instead).
function(vrx_install_config_file source destination name)
  install(CODE "
    set(_dir \"${destination}\")
    if(NOT IS_ABSOLUTE \"\${_dir}\")
      set(_dir \"\${CMAKE_INSTALL_PREFIX}/\${_dir}\")
    endif()
    if(EXISTS \"\$ENV{DESTDIR}\${_dir}/${name}\")
      message(STATUS \"Kept: \$ENV{DESTDIR}\${_dir}/${name}\")
    else()
      file(INSTALL \"${source}\" DESTINATION \"\${_dir}\" RENAME \"${name}\")
    endif()")
endfunction()

vrx_install_config_file(${VRX_INSTALL_CONFIG} ${CMAKE_INSTALL_SYSCONFDIR}/vorex vorex-icapd.ini)
file(GLOB _vrx_templates ${CMAKE_SOURCE_DIR}/conf/templates/*)
foreach(_vrx_template ${_vrx_templates})
  get_filename_component(_vrx_name ${_vrx_template} NAME)
  vrx_install_config_file(${_vrx_template} ${VRX_TEMPLATES_INSTALL_DIR} ${_vrx_name})
endforeach()

foreach(_vrx_page vorex-icapd.8 vorex-icapd.ini.5 uwl_build.1)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" _vrx_section ${_vrx_page})
  install(FILES ${CMAKE_SOURCE_DIR}/man/${_vrx_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_vrx_section})
endforeach()
