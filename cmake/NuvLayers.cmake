# The layers of the two libraries, as the build enforces them.
#
# Every platform service (platform/<name>/) and every subsystem (<name>/ at the
# top of the tree) is one OBJECT library, declared by a small CMakeLists.txt in
# its folder:
#
#   nuv_platform_service(<name> [DEPENDS <service>...])   # target platform_<name>
#   nuv_subsystem(<name> [DEPENDS <subsystem or service>...])  # target subsystem_<name>
#
# Sources are the folder's *.cpp files. A target compiles against a view of the
# public headers that holds only its own headers, the foundation's and those of
# what it DEPENDS on (and what they depend on): a header of any other service or
# subsystem is not found, so a wrong-way include does not compile. Private
# headers stay in the folder and are included by their bare name ("call.h").
#
# The foundation (include/nuvdbsnap/foundation/) is header-only and lies below
# everything. Services may depend only on services; subsystems on subsystems
# and services. nuv_finish_layers() checks the declarations and links the
# objects into libnuvdbsnap-platform.so (services) and libnuvdbsnap.so
# (subsystems).

set(NUV_VIEW_ROOT ${CMAKE_BINARY_DIR}/layers)
set_property(GLOBAL PROPERTY NUV_SERVICES "")
set_property(GLOBAL PROPERTY NUV_SUBSYSTEMS "")

function(_nuv_target_name kind name out)
  if(kind STREQUAL "SERVICE")
    set(${out} platform_${name} PARENT_SCOPE)
  else()
    set(${out} subsystem_${name} PARENT_SCOPE)
  endif()
endfunction()

function(_nuv_layer_target kind name)
  cmake_parse_arguments(L "" "" "DEPENDS;SOURCES" ${ARGN})
  if(L_SOURCES)
    set(src ${L_SOURCES})
  else()
    file(GLOB src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  _nuv_target_name(${kind} ${name} target)
  add_library(${target} OBJECT ${src})
  target_include_directories(${target} PRIVATE ${NUV_VIEW_ROOT}/${target} ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE Boost::boost SQLite::SQLite3 pugixml::pugixml)
  set_property(GLOBAL PROPERTY NUV_DEPENDS_${name} ${L_DEPENDS})
  set_property(GLOBAL PROPERTY NUV_KIND_${name} ${kind})
  set_property(GLOBAL APPEND PROPERTY NUV_${kind}S ${name})
endfunction()

# A platform service of the local suite: folder platform/<name>/, headers
# include/nuvdbsnap/platform/<name>/ (and the umbrella platform/<name>.h).
function(nuv_platform_service name)
  if(name STREQUAL "foundation")
    message(FATAL_ERROR "the foundation is a subsystem, not a platform service")
  endif()
  _nuv_layer_target(SERVICE ${name} ${ARGN})
endfunction()

# A subsystem of libnuvdbsnap.so: folder <name>/, headers include/nuvdbsnap/<name>/
# (and the umbrella <name>.h).
function(nuv_subsystem name)
  _nuv_layer_target(SUBSYSTEM ${name} ${ARGN})
endfunction()

function(_nuv_header_dir name out_dir out_umbrella)
  get_property(kind GLOBAL PROPERTY NUV_KIND_${name})
  if(kind STREQUAL "SERVICE")
    set(${out_dir} nuvdbsnap/platform/${name} PARENT_SCOPE)
    set(${out_umbrella} nuvdbsnap/platform/${name}.h PARENT_SCOPE)
  else()
    set(${out_dir} nuvdbsnap/${name} PARENT_SCOPE)
    set(${out_umbrella} nuvdbsnap/${name}.h PARENT_SCOPE)
  endif()
endfunction()

# Every name that `name` depends on, directly or through others.
function(_nuv_closure name out)
  set(seen "")
  set(todo ${name})
  while(todo)
    list(POP_FRONT todo current)
    get_property(deps GLOBAL PROPERTY NUV_DEPENDS_${current})
    foreach(dep ${deps})
      if(NOT dep IN_LIST seen)
        list(APPEND seen ${dep})
        list(APPEND todo ${dep})
      endif()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(_nuv_link_into_view view rel)
  set(src ${CMAKE_SOURCE_DIR}/include/${rel})
  if(EXISTS ${src})
    get_filename_component(parent ${view}/${rel} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${src} ${view}/${rel} SYMBOLIC)
  endif()
endfunction()

function(nuv_finish_layers)
  get_property(services GLOBAL PROPERTY NUV_SERVICES)
  get_property(subsystems GLOBAL PROPERTY NUV_SUBSYSTEMS)
  file(REMOVE_RECURSE ${NUV_VIEW_ROOT})
  set(service_objects "")
  set(subsystem_objects "")
  foreach(name ${services} ${subsystems})
    get_property(kind GLOBAL PROPERTY NUV_KIND_${name})
    get_property(deps GLOBAL PROPERTY NUV_DEPENDS_${name})
    foreach(dep ${deps})
      get_property(dep_kind GLOBAL PROPERTY NUV_KIND_${dep})
      if(NOT dep_kind)
        message(FATAL_ERROR "${name} depends on '${dep}', which is neither a platform service nor a subsystem")
      endif()
      if(kind STREQUAL "SERVICE" AND dep_kind STREQUAL "SUBSYSTEM")
        message(FATAL_ERROR "platform service ${name} may not depend on subsystem ${dep}")
      endif()
    endforeach()
    _nuv_closure(${name} closure)
    if(name IN_LIST closure)
      message(FATAL_ERROR "${name} depends on itself through ${closure}")
    endif()
    _nuv_target_name(${kind} ${name} target)
    set(view ${NUV_VIEW_ROOT}/${target})
    file(MAKE_DIRECTORY ${view}/nuvdbsnap)
    set(visible ${name} ${closure})
    if(NOT "foundation" IN_LIST visible)
      list(APPEND visible foundation)
    endif()
    foreach(v ${visible})
      if(v STREQUAL "foundation")
        _nuv_link_into_view(${view} nuvdbsnap/foundation)
        _nuv_link_into_view(${view} nuvdbsnap/foundation.h)
      else()
        _nuv_header_dir(${v} dir umbrella)
        _nuv_link_into_view(${view} ${dir})
        _nuv_link_into_view(${view} ${umbrella})
      endif()
    endforeach()
    if(kind STREQUAL "SERVICE")
      list(APPEND service_objects $<TARGET_OBJECTS:${target}>)
    else()
      list(APPEND subsystem_objects $<TARGET_OBJECTS:${target}>)
    endif()
  endforeach()
  set_property(GLOBAL PROPERTY NUV_SERVICE_OBJECTS "${service_objects}")
  set_property(GLOBAL PROPERTY NUV_SUBSYSTEM_OBJECTS "${subsystem_objects}")
endfunction()
