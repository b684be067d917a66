# The floors of src/: each folder is a library that may include and link only
# the folders beneath it. qv_layer(TARGET FOLDER USES <folders...> SOURCES <files...>)
# makes the library and a build step that refuses any other include of ours.
set(QV_FLOORS platform runtime crash config profile callback tunnel ui)

function(qv_layer target folder)
  cmake_parse_arguments(L "" "" "USES;SOURCES" ${ARGN})
  add_library(${target} STATIC ${L_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  qv_check_layer(${target} ${folder} ${L_USES})
endfunction()

# The include check alone, for a library made elsewhere.
function(qv_check_layer target folder)
  set(uses ${ARGN})
  file(GLOB_RECURSE files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${folder}/*.h
       ${PROJECT_SOURCE_DIR}/src/${folder}/*.cpp)
  set(stamp ${CMAKE_BINARY_DIR}/layers/${folder}.checked)
  set(own ${folder} ${uses})
  string(REPLACE ";" "," allowed "${own}")
  string(REPLACE ";" "," floors "${QV_FLOORS}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DFOLDER=${folder} -DALLOWED=${allowed} -DFLOORS=${floors}
            -DROOT=${PROJECT_SOURCE_DIR}/src -DSTAMP=${stamp} -P ${PROJECT_SOURCE_DIR}/cmake/check_layer.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/check_layer.cmake
    COMMENT "Checking that src/${folder} includes only ${allowed}")
  add_custom_target(${target}_layer DEPENDS ${stamp})
  add_dependencies(${target} ${target}_layer)
endfunction()
