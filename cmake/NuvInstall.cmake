# The installed package. Everything is found relative to where it lies, so a
# tree installed with `cmake --install <build> --prefix P` runs from P without
# LD_LIBRARY_PATH:
#   <bindir>                        jzsuite and the example agent programs
#   <libdir>                        the two libraries and the plug-ins the engine
#                                   opens by name (snap handler, replication engine)
#   <libdir>/nuvdbsnap              jzfreezeguard (found beside the platform library)
#   <libdir>/nuvdbsnap/basehome     what a state root's base home directory holds
#                                   (helper programs, remote programs, block-level
#                                   library): `jzsuite init` links it in
# The build tree mirrors the last folder at out/<libdir>/nuvdbsnap/basehome, so
# `jzsuite init` fills a base home the same way from the build.
set(NUV_BASEHOME_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/nuvdbsnap/basehome)
file(RELATIVE_PATH NUV_BASEHOME_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${NUV_BASEHOME_INSTALL_DIR})
get_filename_component(NUV_BASEHOME_BUILD_DIR ${NUV_OUTPUT_DIR}/bin/${NUV_BASEHOME_FROM_BINDIR} ABSOLUTE)
file(MAKE_DIRECTORY ${NUV_BASEHOME_BUILD_DIR})

# Gives `target`, installed into `destination` (relative to the prefix), a run
# path that reaches the library directory from where it lies.
function(nuv_install_rpath target destination)
  file(RELATIVE_PATH rel ${CMAKE_INSTALL_PREFIX}/${destination} ${CMAKE_INSTALL_FULL_LIBDIR})
  if(rel STREQUAL "")
    set(rpath "$ORIGIN")
  else()
    set(rpath "$ORIGIN/${rel}")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
endfunction()

# Installs a program or a library into bindir / libdir with its run path.
function(nuv_install_program target)
  nuv_install_rpath(${target} ${CMAKE_INSTALL_BINDIR})
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
function(nuv_install_library target)
  nuv_install_rpath(${target} ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# A program or library of the base home directory: installed into the
# package's base-home folder and linked into the build tree's mirror of it.
function(nuv_base_home_item target)
  nuv_install_rpath(${target} ${NUV_BASEHOME_INSTALL_DIR})
  install(TARGETS ${target} RUNTIME DESTINATION ${NUV_BASEHOME_INSTALL_DIR}
                            LIBRARY DESTINATION ${NUV_BASEHOME_INSTALL_DIR})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:${target}>
            ${NUV_BASEHOME_BUILD_DIR}/$<TARGET_FILE_NAME:${target}>
    VERBATIM)
endfunction()
