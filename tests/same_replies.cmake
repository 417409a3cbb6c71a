# Feeds one request file to two builds of the server and requires the same reply bytes, an empty
# standard error and exit status 0 from both. Run by CTest in the Windows build (tests/CMakeLists.txt):
#
#   cmake -DREFERENCE=<Linux glossel> -DSUBJECT=<glossel.exe> -DWINE=<wine64> -DREQUESTS=<file>
#         -DWORK=<folder> -P same_replies.cmake
#
# Both run in the current folder, so that relative paths in the requests name the same files.
# Without the reference binary the check is skipped (it prints "skipped:").

if(NOT EXISTS "${REFERENCE}")
  message("skipped: no reference build at ${REFERENCE} (build the default preset first)")
  return()
endif()
file(MAKE_DIRECTORY "${WORK}")

function(serve name)
  execute_process(COMMAND ${ARGN}
    INPUT_FILE "${REQUESTS}" OUTPUT_FILE "${WORK}/${name}.out" ERROR_FILE "${WORK}/${name}.err"
    RESULT_VARIABLE status)
  file(SIZE "${WORK}/${name}.err" error_bytes)
  if(NOT status EQUAL 0 OR NOT error_bytes EQUAL 0)
    file(READ "${WORK}/${name}.err" errors)
    message(FATAL_ERROR "${name}: exit status ${status}, standard error:\n${errors}")
  endif()
endfunction()

serve(linux "${REFERENCE}")
serve(windows "${CMAKE_COMMAND}" -E env WINEDEBUG=-all "${WINE}" "${SUBJECT}")

execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK}/linux.out" "${WORK}/windows.out"
  RESULT_VARIABLE differ)
if(differ)
  execute_process(COMMAND diff -a "${WORK}/linux.out" "${WORK}/windows.out" OUTPUT_VARIABLE lines)
  message(FATAL_ERROR "the replies differ (< Linux, > Windows):\n${lines}")
endif()
file(SIZE "${WORK}/linux.out" bytes)
message("${bytes} bytes of replies, the same from both")
