# World Magnetic Model coefficient tables, generated at build time from the published coefficient
# files in data/wmm (no coefficient is typed by hand).
#
# Included from a CMakeLists.txt it defines
#   zda_wmm_tables(<target> <output.cpp> <file:epoch:symbol>...)
# which adds a build step writing <output.cpp> (one const table per coefficient file) to the
# sources of <target>. The step runs this file in script mode; it fails the build unless each file
# matches its SHA-256 in data/wmm/SHA256SUMS, its header carries the expected epoch, its 90 rows
# run (n, m) = (1, 0) .. (12, 12) in order and it ends with the two terminator lines of 9s.
# Every number is emitted as the file's decimal text.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(ZDA_WMM_GENERATOR ${CMAKE_CURRENT_LIST_FILE})
  set(ZDA_WMM_DATA_DIR ${CMAKE_SOURCE_DIR}/data/wmm)

  function(zda_wmm_tables target output)
    set(depends ${ZDA_WMM_GENERATOR} ${ZDA_WMM_DATA_DIR}/SHA256SUMS)
    foreach(model ${ARGN})
      string(REPLACE ":" ";" parts ${model})
      list(GET parts 0 file)
      list(APPEND depends ${ZDA_WMM_DATA_DIR}/${file})
    endforeach()
    string(REPLACE ";" "," models "${ARGN}")
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -DWMM_DATA_DIR=${ZDA_WMM_DATA_DIR} -DWMM_OUTPUT=${output} -DWMM_MODELS=${models}
              -P ${ZDA_WMM_GENERATOR}
      DEPENDS ${depends}
      COMMENT "Generating WMM coefficient tables ${output}"
      VERBATIM)
    target_sources(${target} PRIVATE ${output})
  endfunction()
  return()
endif()

# ---- script mode ----
function(wmm_fail message)
  message(FATAL_ERROR "WMM tables: ${message}")
endfunction()

file(READ ${WMM_DATA_DIR}/SHA256SUMS sums)
string(REPLACE "," ";" models "${WMM_MODELS}")

set(number "-?[0-9]+\\.?[0-9]*")
set(out "// Generated at build time from the WMM coefficient files in data/wmm by\n")
string(APPEND out "// src/math/geomag/WmmTables.cmake. Do not edit.\n")
string(APPEND out "#include \"math/geomag/WmmTable.h\"\n")

foreach(model ${models})
  string(REPLACE ":" ";" parts ${model})
  list(LENGTH parts count)
  if(NOT count EQUAL 3)
    wmm_fail("model '${model}' is not file:epoch:symbol")
  endif()
  list(GET parts 0 name)
  list(GET parts 1 epoch)
  list(GET parts 2 symbol)
  set(path ${WMM_DATA_DIR}/${name})
  if(NOT EXISTS ${path})
    wmm_fail("${path} is missing")
  endif()

  file(SHA256 ${path} actual)
  string(REPLACE "." "\\." quoted ${name})
  string(REGEX MATCH "(^|\n)([0-9a-f]+)  ${quoted}\n" found "${sums}")
  if(NOT found)
    wmm_fail("${name} has no entry in SHA256SUMS")
  endif()
  if(NOT CMAKE_MATCH_2 STREQUAL actual)
    wmm_fail("${name}: SHA-256 ${actual} differs from SHA256SUMS ${CMAKE_MATCH_2}")
  endif()

  file(READ ${path} text)
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  list(LENGTH lines lineCount)
  if(NOT lineCount EQUAL 93)
    wmm_fail("${name}: ${lineCount} lines, expected a header, 90 rows and 2 terminators")
  endif()

  list(GET lines 0 header)
  if(NOT header MATCHES "^ *([0-9]+\\.[0-9]+) +WMM-[0-9]+ +[0-9/]+ *$")
    wmm_fail("${name}: header '${header}' does not parse")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL epoch)
    wmm_fail("${name}: epoch ${CMAKE_MATCH_1}, expected ${epoch}")
  endif()

  string(APPEND out "\n// ${name}: ${header}\n")
  string(APPEND out "extern const WmmCoefficient ${symbol}[90];\n")
  string(APPEND out "const WmmCoefficient ${symbol}[90] = {\n")
  set(index 1)
  foreach(n RANGE 1 12)
    foreach(m RANGE 0 ${n})
      list(GET lines ${index} row)
      math(EXPR line "${index} + 1")
      if(NOT row MATCHES "^ *([0-9]+) +([0-9]+) +(${number}) +(${number}) +(${number}) +(${number}) *$")
        wmm_fail("${name} line ${line}: '${row}' is not 'n m g h gdot hdot'")
      endif()
      if(NOT CMAKE_MATCH_1 EQUAL n OR NOT CMAKE_MATCH_2 EQUAL m)
        wmm_fail("${name} line ${line}: (${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}) where (${n}, ${m}) belongs")
      endif()
      string(APPEND out "    {${n}, ${m}, ${CMAKE_MATCH_3}, ${CMAKE_MATCH_4}, ${CMAKE_MATCH_5}, ${CMAKE_MATCH_6}},\n")
      math(EXPR index "${index} + 1")
    endforeach()
  endforeach()
  string(APPEND out "};\n")

  foreach(t 91 92)
    list(GET lines ${t} terminator)
    math(EXPR line "${t} + 1")
    if(NOT terminator MATCHES "^9+$")
      wmm_fail("${name} line ${line}: '${terminator}' is not a terminator line of 9s")
    endif()
  endforeach()
endforeach()

file(WRITE ${WMM_OUTPUT} "${out}")
