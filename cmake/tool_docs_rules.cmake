# tool_docs(<tool> <usage.def> [WORDS_COMMAND <args>...])
#
# Makes the man page <tool>.1 and the bash completion of a tool from its
# usage list (the X-macro file that the tool also includes for --help; see
# cmake/tool_docs.cmake), and installs them with the component "tools": the
# man page to ${CMAKE_INSTALL_MANDIR}/man1, the completion to
# ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/<tool>.
# WORDS_COMMAND: arguments with which the completion asks the tool itself for
# the words that may stand where a command's synopsis has an upper-case
# placeholder (apictl: "list", for the operation names).
include_guard(GLOBAL)
include(GNUInstallDirs)
set(TOOL_DOCS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/tool_docs.cmake)
set(TOOL_DOCS_DEPENDS ${TOOL_DOCS_SCRIPT} ${CMAKE_CURRENT_LIST_DIR}/roff.cmake)

function(tool_docs tool def)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "WORDS_COMMAND")
  set(man ${CMAKE_CURRENT_BINARY_DIR}/${tool}.1)
  set(completion ${CMAKE_CURRENT_BINARY_DIR}/${tool}.bash-completion)
  string(REPLACE ";" " " words "${arg_WORDS_COMMAND}")
  # Installed gzipped, as Debian wants; -n: the same bytes on every build.
  add_custom_command(OUTPUT ${man} ${man}.gz ${completion}
    COMMAND ${CMAKE_COMMAND} -DDEF=${def} -DMAN=${man} -DCOMPLETION=${completion}
            -DVERSION=${PROJECT_VERSION} -DWORDS_COMMAND=${words} -P ${TOOL_DOCS_SCRIPT}
    COMMAND gzip -9nkf ${man}
    DEPENDS ${def} ${TOOL_DOCS_DEPENDS}
    COMMENT "Man page and bash completion of ${tool}"
    VERBATIM)
  add_custom_target(${tool}_docs ALL DEPENDS ${man}.gz ${completion})
  install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME ${tool} COMPONENT tools)
endfunction()
