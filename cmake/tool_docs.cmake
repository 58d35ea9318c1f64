# Turns a tool's usage list into its man page and its bash completion:
#
#   cmake -DDEF=usage.def -DMAN=tool.1 -DCOMPLETION=tool.bash -DVERSION=1.0.0
#         [-DWORDS_COMMAND=list] -P cmake/tool_docs.cmake
#
# The usage list is a C file of X-macro lines, the same one the tool includes
# to print --help, so that help, man page and completion cannot drift:
#
#   USAGE_NAME("tool", "one-line summary")
#   USAGE_SYNOPSIS("tool [--opt ARG] CMD ...")     one per synopsis line
#   USAGE_OPTION("--opt", "ARG", "text")           ARG empty for a flag
#   USAGE_COMMAND("cmd [-x] [-o FILE] [ARG]", "text")
#   USAGE_SECTION("TITLE", "text")                 DESCRIPTION comes first,
#                                                  the others after the commands
#   USAGE_MANUAL("TITLE", "text")                  a section of the man page
#                                                  alone, after the others
#
# Arguments are C string literals: adjacent ones are joined, \" \\ \n \t are
# understood, "\n" in a text breaks a line. Comments (/* */, and // at the
# start of a line) and preprocessor lines may stand between the entries.
#
# The completion offers the options, the commands and, where a command's
# synopsis starts with an upper-case placeholder, the words that
# "TOOL WORDS_COMMAND" prints (the last identifier before "(" or "[" on each
# line). Within a command: the words of its synopsis that start with '-'
# (files after an option whose argument names a FILE, DIR or PATH), and its
# sub-commands (lower-case words joined by '|') right after it.
cmake_minimum_required(VERSION 3.16)
foreach(var DEF MAN COMPLETION VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "tool_docs: -D${var}=... is required")
  endif()
endforeach()

# Characters that CMake lists treat specially, the markers of the parse, roff().
include(${CMAKE_CURRENT_LIST_DIR}/roff.cmake)
string(ASCII 6 LIT)  # a string literal in a macro call's skeleton

file(READ "${DEF}" source)
string(REPLACE ";" "${SC}" source "${source}")
string(REPLACE "[" "${LB}" source "${source}")
string(REPLACE "]" "${RB}" source "${source}")

# Comments.
while(TRUE)
  string(FIND "${source}" "/*" open)
  if(open LESS 0)
    break()
  endif()
  string(SUBSTRING "${source}" ${open} -1 rest)
  string(FIND "${rest}" "*/" close)
  if(close LESS 0)
    message(FATAL_ERROR "tool_docs: ${DEF}: unterminated comment")
  endif()
  string(SUBSTRING "${source}" 0 ${open} before)
  math(EXPR after "${close} + 2")
  string(SUBSTRING "${rest}" ${after} -1 rest)
  set(source "${before}${rest}")
endwhile()
string(REGEX REPLACE "(^|\n)[ \t]*(//|#)[^\n]*" "\\1" source "${source}")

set(literal_re "\"([^\"\\]|\\\\.)*\"")
string(REGEX MATCHALL "USAGE_[A-Z]+\\(([^()\"]|${literal_re})*\\)" calls "${source}")

# The arguments of one macro call, as a list of texts.
function(call_arguments call out)
  string(REGEX MATCHALL "${literal_re}" literals "${call}")
  string(REGEX REPLACE "${literal_re}" "${LIT}" skeleton "${call}")
  string(REGEX REPLACE "^[^(]*\\((.*)\\)[ \t\n]*$" "\\1" skeleton "${skeleton}")
  string(REPLACE "," ";" parts "${skeleton}")
  set(values "")
  set(next 0)
  foreach(part IN LISTS parts)
    string(REGEX MATCHALL "${LIT}" pieces "${part}")
    list(LENGTH pieces count)
    string(REGEX REPLACE "[${LIT} \t\n\r]" "" stray "${part}")
    if(NOT stray STREQUAL "")
      message(FATAL_ERROR "tool_docs: ${DEF}: not a string literal: ${stray}")
    endif()
    set(value "")
    foreach(k RANGE 1 ${count})
      if(k GREATER count)
        break()
      endif()
      list(GET literals ${next} piece)
      math(EXPR next "${next} + 1")
      string(REGEX REPLACE "^\"(.*)\"$" "\\1" piece "${piece}")
      string(REPLACE "\\\\" "${BS}" piece "${piece}")
      string(REPLACE "\\\"" "\"" piece "${piece}")
      string(REPLACE "\\n" "${NL}" piece "${piece}")
      string(REPLACE "\\t" " " piece "${piece}")
      string(APPEND value "${piece}")
    endforeach()
    list(APPEND values "${value}")
  endforeach()
  set(${out} "${values}" PARENT_SCOPE)
endfunction()

set(tool "")
set(summary "")
set(synopses "")
set(option_count 0)
set(command_count 0)
set(section_count 0)
foreach(call IN LISTS calls)
  string(REGEX MATCH "^USAGE_([A-Z]+)" kind "${call}")
  set(kind "${CMAKE_MATCH_1}")
  call_arguments("${call}" args)
  list(LENGTH args argc)
  set(want_NAME 2)
  set(want_SYNOPSIS 1)
  set(want_OPTION 3)
  set(want_COMMAND 2)
  set(want_SECTION 2)
  set(want_MANUAL 2)
  if(NOT DEFINED want_${kind})
    message(FATAL_ERROR "tool_docs: ${DEF}: unknown entry USAGE_${kind}")
  elseif(NOT argc EQUAL want_${kind})
    message(FATAL_ERROR "tool_docs: ${DEF}: USAGE_${kind} takes ${want_${kind}} texts, not ${argc}: ${call}")
  endif()
  if(kind STREQUAL "NAME")
    list(GET args 0 tool)
    list(GET args 1 summary)
  elseif(kind STREQUAL "SYNOPSIS")
    list(APPEND synopses "${args}")
  elseif(kind STREQUAL "OPTION")
    list(GET args 0 option_${option_count})
    list(GET args 1 option_arg_${option_count})
    list(GET args 2 option_text_${option_count})
    math(EXPR option_count "${option_count} + 1")
  elseif(kind STREQUAL "COMMAND")
    list(GET args 0 command_${command_count})
    list(GET args 1 command_text_${command_count})
    math(EXPR command_count "${command_count} + 1")
  else()
    list(GET args 0 section_${section_count})
    list(GET args 1 section_text_${section_count})
    math(EXPR section_count "${section_count} + 1")
  endif()
endforeach()
if(tool STREQUAL "")
  message(FATAL_ERROR "tool_docs: ${DEF}: no USAGE_NAME")
endif()

# ---- the man page ----

string(TOUPPER "${tool}" title)
roff("${summary}" summary_roff)
set(man ".\\\" Made from ${DEF} by tool_docs.cmake; do not edit.\n")
string(APPEND man ".TH ${title} 1 \"\" \"${tool} ${VERSION}\" \"User Commands\"\n")
string(APPEND man ".SH NAME\n${tool} \\- ${summary_roff}\n.SH SYNOPSIS\n.nf\n")
foreach(line IN LISTS synopses)
  roff("${line}" line)
  string(REGEX REPLACE "^${tool}" "\\\\fB${tool}\\\\fR" line "${line}")
  string(APPEND man "${line}\n")
endforeach()
string(APPEND man ".fi\n")
set(late_sections "")
if(section_count GREATER 0)
  math(EXPR last "${section_count} - 1")
  foreach(i RANGE ${last})
    if(section_${i} STREQUAL "DESCRIPTION")
      roff("${section_text_${i}}" text)
      string(APPEND man ".SH DESCRIPTION\n${text}\n")
    else()
      list(APPEND late_sections ${i})
    endif()
  endforeach()
endif()
if(option_count GREATER 0)
  string(APPEND man ".SH OPTIONS\n")
  math(EXPR last "${option_count} - 1")
  foreach(i RANGE ${last})
    roff("${option_${i}}" name)
    roff("${option_text_${i}}" text)
    if(option_arg_${i} STREQUAL "")
      string(APPEND man ".TP\n.B ${name}\n${text}\n")
    else()
      roff("${option_arg_${i}}" arg)
      string(APPEND man ".TP\n\\fB${name}\\fR \\fI${arg}\\fR\n${text}\n")
    endif()
  endforeach()
endif()
if(command_count GREATER 0)
  string(APPEND man ".SH COMMANDS\n")
  math(EXPR last "${command_count} - 1")
  foreach(i RANGE ${last})
    roff("${command_${i}}" name)
    roff("${command_text_${i}}" text)
    string(APPEND man ".TP\n.B ${name}\n${text}\n")
  endforeach()
endif()
foreach(i IN LISTS late_sections)
  roff("${section_${i}}" name)
  roff("${section_text_${i}}" text)
  string(APPEND man ".SH \"${name}\"\n${text}\n")
endforeach()
file(WRITE "${MAN}" "${man}")

# ---- the bash completion ----

# Words of a synopsis, brackets and ellipses dropped.
function(synopsis_words text out)
  string(REPLACE "${LB}" " " text "${text}")
  string(REPLACE "${RB}" " " text "${text}")
  string(REPLACE "..." " " text "${text}")
  string(REGEX REPLACE "[ \t${NL}]+" ";" text "${text}")
  list(REMOVE_ITEM text "")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(options "")
set(arg_options "")
if(option_count GREATER 0)
  math(EXPR last "${option_count} - 1")
  foreach(i RANGE ${last})
    string(REGEX MATCHALL "-[-A-Za-z0-9]+" names "${option_${i}}")
    list(APPEND options ${names})
    if(NOT option_arg_${i} STREQUAL "")
      list(APPEND arg_options ${names})
    endif()
  endforeach()
endif()

set(commands "")
set(has_words FALSE)
set(cases "")
if(command_count GREATER 0)
  math(EXPR last "${command_count} - 1")
  foreach(i RANGE ${last})
    synopsis_words("${command_${i}}" words)
    list(GET words 0 first)
    if(first MATCHES "^[A-Z]")
      set(has_words TRUE)
      continue()
    endif()
    list(APPEND commands "${first}")
    list(REMOVE_AT words 0)
    set(flags "")
    set(file_flags "")
    set(value_flags "")
    set(subcommands "")
    foreach(word IN LISTS words)
      if(word MATCHES "^-")
        list(APPEND flags "${word}")
      elseif(word MATCHES "^[a-z][-a-z0-9_]*(\\|[a-z][-a-z0-9_]*)+$")
        string(REPLACE "|" ";" alternatives "${word}")
        list(APPEND subcommands ${alternatives})
      endif()
    endforeach()
    # An option with its argument: "-o FILE", no bracket between them.
    string(REGEX MATCHALL "-[-A-Za-z0-9]+[ \t]+[A-Z][A-Z_]*" pairs "${command_${i}}")
    foreach(pair IN LISTS pairs)
      string(REGEX REPLACE "[ \t]+.*" "" flag "${pair}")
      if(pair MATCHES "FILE|DIR|PATH")
        list(APPEND file_flags "${flag}")
      else()
        list(APPEND value_flags "${flag}")
      endif()
    endforeach()
    set(body "")
    if(file_flags OR value_flags)
      string(APPEND body "            case $prev in\n")
      if(file_flags)
        string(REPLACE ";" "|" pattern "${file_flags}")
        string(APPEND body "                ${pattern}) COMPREPLY=($(compgen -f -- \"$cur\")); return 0 ;;\n")
      endif()
      if(value_flags)
        string(REPLACE ";" "|" pattern "${value_flags}")
        string(APPEND body "                ${pattern}) return 0 ;;\n")
      endif()
      string(APPEND body "            esac\n")
    endif()
    if(subcommands)
      string(REPLACE ";" " " list "${subcommands}")
      string(APPEND body "            if [ $((COMP_CWORD - at)) -eq 1 ]; then\n")
      string(APPEND body "                COMPREPLY=($(compgen -W \"${list}\" -- \"$cur\")); return 0\n            fi\n")
    endif()
    if(flags)
      string(REPLACE ";" " " list "${flags}")
      string(APPEND body "            COMPREPLY=($(compgen -W \"${list}\" -- \"$cur\"))\n")
    endif()
    if(NOT body STREQUAL "")
      string(APPEND cases "        ${first})\n${body}            ;;\n")
    endif()
  endforeach()
endif()

string(MAKE_C_IDENTIFIER "${tool}" function)
string(REPLACE ";" " " options "${options}")
string(REPLACE ";" " " commands "${commands}")
string(REPLACE ";" "|" arg_pattern "${arg_options}")
if(arg_pattern STREQUAL "")
  set(arg_pattern "--")
endif()
set(words_body ":")
if(has_words AND NOT WORDS_COMMAND STREQUAL "")
  set(words_body "\"\${COMP_WORDS[0]}\" ${WORDS_COMMAND} 2>/dev/null | sed -e 's/[([].*//' -e 's/.*[ *]//'")
endif()
set(script [==[
# bash completion for @tool@, made from its usage list by tool_docs.cmake; do not edit.
_@function@_words() {
    @words_body@
}
_@function@() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local i=1 command= at=0
    while [ "$i" -lt "$COMP_CWORD" ]; do
        case ${COMP_WORDS[i]} in
            @arg_pattern@) i=$((i + 1)) ;;
            -*) ;;
            *) command=${COMP_WORDS[i]} at=$i; break ;;
        esac
        i=$((i + 1))
    done
    COMPREPLY=()
    if [ -z "$command" ]; then
        case $prev in @arg_pattern@) return 0 ;; esac
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "@options@" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "@commands@ $(_@function@_words)" -- "$cur"))
        fi
        return 0
    fi
    case $command in
@cases@    esac
    return 0
}
complete -o bashdefault -o default -F _@function@ @tool@
]==])
string(CONFIGURE "${script}" script @ONLY)
file(WRITE "${COMPLETION}" "${script}")
