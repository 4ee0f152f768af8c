# Checks a DLL's tables with objdump -p:
#   cmake -DOBJDUMP=<objdump> -DDLL=<sheetlay.dll> -P check_dll.cmake
# The export table must name exactly the functions of the public header,
# and the DLL may import only from DLLs that every Windows system has.
cmake_minimum_required(VERSION 3.25)
set(want_exports
  sheetlay_cleanup sheetlay_create sheetlay_create_bordered sheetlay_create_sized
  sheetlay_free sheetlay_init sheetlay_last_error sheetlay_nup sheetlay_nup_inputs
  sheetlay_nup_inputs_mem sheetlay_nup_mem
  sheetlay_options_init sheetlay_options_init_sized sheetlay_version)
set(system_dlls KERNEL32.DLL MSVCRT.DLL UCRTBASE.DLL USER32.DLL ADVAPI32.DLL)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc})")
endif()
string(REPLACE "\r" "" dump "${dump}")
string(REPLACE ";" "," dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

# Export names: the lines "\t[   n] name" after "[Ordinal/Name Pointer] Table",
# up to the next blank line.
set(exports "")
set(in_table FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_table TRUE)
  elseif(in_table)
    if(line MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ ]+)")
      list(APPEND exports "${CMAKE_MATCH_1}")
    elseif(line STREQUAL "")
      set(in_table FALSE)
    endif()
  endif()
endforeach()
list(SORT exports)
list(SORT want_exports)
if(NOT exports STREQUAL want_exports)
  message(FATAL_ERROR "exports of ${DLL}:\n  ${exports}\nwanted exactly:\n  ${want_exports}")
endif()
message(STATUS "exports: ${exports}")

set(imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" dll)
    list(APPEND imports "${dll}")
    if(NOT "${dll}" IN_LIST system_dlls)
      message(FATAL_ERROR "${DLL} needs ${CMAKE_MATCH_1}, which is not part of Windows: "
                          "link the compiler's runtime statically")
    endif()
  endif()
endforeach()
message(STATUS "imports: ${imports}")
