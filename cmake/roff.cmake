# Shared by the man page generators (tool_docs.cmake, api_docs.cmake): the
# markers that stand for characters CMake lists and regexes treat specially
# while a source is parsed, and roff().
string(ASCII 1 SC)   # ;
string(ASCII 2 LB)   # [
string(ASCII 3 RB)   # ]
string(ASCII 4 NL)   # a line break in a text ("\n" in a usage list)
string(ASCII 5 BS)   # a backslash in a text ("\\" in a usage list)

# roff(text out): backslashes and minus signs escaped, no line starting with
# a control character, NL a line break, the other markers their characters.
function(roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "${BS}" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n|${NL})([.'])" "\\1\\\\&\\2" text "${text}")
  string(REPLACE "${NL}" "\n.br\n" text "${text}")
  string(REPLACE "${SC}" ";" text "${text}")
  string(REPLACE "${LB}" "[" text "${text}")
  string(REPLACE "${RB}" "]" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
