# Compiles zantho.rc with the Windows resource compiler (the icon drawn first) and checks that the compiled
# resources hold what the launcher ships: dialog 104 and the string table in three languages, five icon
# images with the largest as PNG, the manifest and the version block. With NO_UTF8_CODE_PAGE, the same with the
# test build's manifest, which lacks the UTF-8 code page.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(manifest_search)
set(code_pages 1)
if(NO_UTF8_CODE_PAGE)
  execute_process(COMMAND ${CMAKE_COMMAND} -DIN=${SOURCE_DIR}/zantho.manifest -DOUT=${WORK_DIR}/manifest/zantho.manifest
                          -P ${SOURCE_DIR}/strip_code_page.cmake RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "writing the manifest without its code page failed: ${result}")
  endif()
  set(manifest_search -I ${WORK_DIR}/manifest)
  set(code_pages 0)
endif()
execute_process(COMMAND ${SOURCE_DIR}/draw_icon.sh ${WORK_DIR}/zantho.ico RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "drawing the icon failed: ${result}")
endif()
execute_process(
  COMMAND ${WINDRES} --preprocessor=${PREPROCESSOR} --preprocessor-arg=-E --preprocessor-arg=-xc
          --preprocessor-arg=-DRC_INVOKED ${manifest_search} -I ${SOURCE_DIR} -I ${WORK_DIR} -i ${SOURCE_DIR}/zantho.rc
          -O res -o ${WORK_DIR}/zantho.res
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "windres rejected zantho.rc: ${result}")
endif()
execute_process(COMMAND ${WINDRES} -i ${WORK_DIR}/zantho.res -J res -O rc
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "windres cannot read back zantho.res: ${result}")
endif()

function(expect_count pattern count what)
  string(REGEX MATCHALL "${pattern}" found "${listing}")
  list(LENGTH found n)
  if(NOT n EQUAL count)
    message(FATAL_ERROR "${what}: ${n} found, ${count} expected")
  endif()
endfunction()
expect_count("104 DIALOGEX" 3 "dialog 104 (one per language)")
expect_count("STYLE 0x80ca08c8" 3 "dialog style")
expect_count("[0-9] 3 /\\* RT_ICON \\*/" 5 "icon images")
expect_count("106 14 /\\* RT_GROUP_ICON \\*/[^\n]*\nBEGIN\n   0, 1, 5," 1 "icon group 106 of five")
expect_count("\n1 3 /\\* RT_ICON \\*/[^\n]*\nBEGIN\n  0x474e5089L" 1 "the first image as PNG")
expect_count("1 24 /\\* RT_MANIFEST \\*/" 1 "manifest")
expect_count("level=\"\"requireAdministrator\"\" uiAccess=\"\"false\"\"" 1 "requested execution level")
expect_count(">UTF-8</activeCodePage>" ${code_pages} "UTF-8 as the code page of the narrow calls")
expect_count("1 VERSIONINFO\n FILEVERSION 2, 4, 0, 2\n PRODUCTVERSION 2, 4, 0, 2" 1 "version block")
