# EbbmarkSvc.exe's resources: the event-log message table (windmc), the
# manifest and the version information (windres), linked in as one object.
# Included from the top-level CMakeLists.txt once the service target exists.

find_program(EBBMARK_WINDMC NAMES ${CMAKE_MC_COMPILER} windmc REQUIRED)
find_program(EBBMARK_WINDRES NAMES ${CMAKE_RC_COMPILER} windres REQUIRED)

set(res_dir ${CMAKE_BINARY_DIR}/resources)
set(pkg_dir ${PROJECT_SOURCE_DIR}/packaging/windows)
set(EBBMARK_MANIFEST ${res_dir}/ebbmark_svc.manifest)
configure_file(${pkg_dir}/ebbmark_svc.manifest.in ${EBBMARK_MANIFEST} @ONLY)
configure_file(${pkg_dir}/ebbmark_svc.rc.in ${res_dir}/ebbmark_svc.rc @ONLY)

add_custom_command(
  OUTPUT ${res_dir}/ebbmark_messages.rc ${res_dir}/MSG00409.bin ${res_dir}/ebbmark_messages.h
  COMMAND ${EBBMARK_WINDMC} -h ${res_dir} -r ${res_dir} ${pkg_dir}/ebbmark_messages.mc
  DEPENDS ${pkg_dir}/ebbmark_messages.mc
  COMMENT "Compiling the event-log message table")

add_custom_command(
  OUTPUT ${res_dir}/ebbmark_svc_res.o
  COMMAND ${EBBMARK_WINDRES} -I ${res_dir} -O coff -i ${res_dir}/ebbmark_svc.rc -o ${res_dir}/ebbmark_svc_res.o
  WORKING_DIRECTORY ${res_dir}
  DEPENDS ${res_dir}/ebbmark_svc.rc ${res_dir}/ebbmark_messages.rc ${res_dir}/MSG00409.bin ${EBBMARK_MANIFEST}
  COMMENT "Compiling EbbmarkSvc's resources")

add_custom_target(ebbmark_svc_resources DEPENDS ${res_dir}/ebbmark_svc_res.o)
add_dependencies(EbbmarkSvc ebbmark_svc_resources)
target_sources(EbbmarkSvc PRIVATE ${res_dir}/ebbmark_svc_res.o)
set_source_files_properties(${res_dir}/ebbmark_svc_res.o DIRECTORY ${PROJECT_SOURCE_DIR}/service
                            PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

# Ebbmark.exe's resources: every drawing of config/images rendered to an
# icon with the sizes a screen from 100 % to 200 % needs (rsvg-convert, then
# packaging/windows/make_icon.py), the manifest (visual styles, per-monitor
# DPI) and the version information, compiled into one object linked into
# `target`. `include_dir` holds view_resources.h, the resource numbers.
function(ebbmark_view_resources target include_dir)
  find_program(EBBMARK_RSVG rsvg-convert)
  if(NOT EBBMARK_RSVG)
    message(FATAL_ERROR "rsvg-convert not found: the pictures of Ebbmark.exe cannot be rendered (install librsvg2-bin)")
  endif()
  find_program(EBBMARK_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT EBBMARK_PYTHON3)
    find_program(EBBMARK_PYTHON3 NAMES python3 REQUIRED)
  endif()

  set(view_dir ${CMAKE_BINARY_DIR}/resources/view)
  set(images ${PROJECT_SOURCE_DIR}/config/images)
  set(icons)
  foreach(name ebbmark ok fail battery power_red power_orange shutdown question status_running
               status_stopped status_not_installed tb_save tb_service tb_email tb_trellan
               tb_network)
    set(sizes 16 20 24 32 40 48 64)
    if(name STREQUAL "ebbmark")
      list(APPEND sizes 128 256)
    endif()
    set(pngs)
    set(commands)
    foreach(size ${sizes})
      set(png ${view_dir}/${name}_${size}.png)
      list(APPEND pngs ${png})
      list(APPEND commands COMMAND ${EBBMARK_RSVG} -w ${size} -h ${size} -o ${png} ${images}/${name}.svg)
    endforeach()
    add_custom_command(
      OUTPUT ${view_dir}/${name}.ico
      COMMAND ${CMAKE_COMMAND} -E make_directory ${view_dir}
      ${commands}
      COMMAND ${EBBMARK_PYTHON3} ${PROJECT_SOURCE_DIR}/packaging/windows/make_icon.py ${view_dir}/${name}.ico ${pngs}
      DEPENDS ${images}/${name}.svg ${PROJECT_SOURCE_DIR}/packaging/windows/make_icon.py
      COMMENT "Rendering the picture ${name}")
    list(APPEND icons ${view_dir}/${name}.ico)
  endforeach()

  set(EBBMARK_VIEW_MANIFEST ${view_dir}/ebbmark.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/ebbmark.manifest.in ${EBBMARK_VIEW_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/ebbmark.rc.in ${view_dir}/ebbmark.rc @ONLY)

  add_custom_command(
    OUTPUT ${view_dir}/ebbmark_res.o
    COMMAND ${EBBMARK_WINDRES} -I ${view_dir} -I ${include_dir} -O coff -i ${view_dir}/ebbmark.rc
            -o ${view_dir}/ebbmark_res.o
    WORKING_DIRECTORY ${view_dir}
    DEPENDS ${view_dir}/ebbmark.rc ${EBBMARK_VIEW_MANIFEST} ${icons} ${include_dir}/view_resources.h
    COMMENT "Compiling Ebbmark's resources")
  add_custom_target(${target}_resources DEPENDS ${view_dir}/ebbmark_res.o)
  add_dependencies(${target} ${target}_resources)
  target_sources(${target} PRIVATE ${view_dir}/ebbmark_res.o)
  set_source_files_properties(${view_dir}/ebbmark_res.o PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
endfunction()
