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
