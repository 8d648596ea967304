# Makes a manual page from a program's whole help text, which it keeps word
# for word: the usage lines become the synopsis, each "Heading:" line at the
# margin a section, and the text stays laid out as the program prints it.
#   cmake -DPROGRAM=EXE -DNAME=name -DSUMMARY=words -DVERSION=V -DOUTPUT=FILE
#         -P help_to_man.cmake
execute_process(COMMAND ${PROGRAM} --help-all OUTPUT_VARIABLE text RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT text MATCHES "^Usage: ")
  message(FATAL_ERROR "${PROGRAM} --help-all failed (${status})")
endif()

# Roff's escape character and minus sign, and a leading control character.
string(REPLACE "\\" "\\e" text "${text}")
string(REPLACE "-" "\\-" text "${text}")
string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "${text}")

# The usage lines up to the first blank line.
string(FIND "${text}" "\n\n" end)
string(SUBSTRING "${text}" 0 ${end} synopsis)
math(EXPR end "${end} + 2")
string(SUBSTRING "${text}" ${end} -1 body)
string(REGEX REPLACE "^Usage: " "" synopsis "${synopsis}")
string(REGEX REPLACE "\n +" "\n" synopsis "${synopsis}")

# "Heading:" alone on a line at the margin.
set(body "\n${body}")
string(REGEX MATCHALL "\n[A-Z][a-z ]*:\n" headings "${body}")
foreach(heading ${headings})
  string(STRIP "${heading}" heading)
  string(REGEX REPLACE ":$" "" title "${heading}")
  string(TOUPPER "${title}" title)
  string(REPLACE "\n${heading}\n" "\n.fi\n.SH \"${title}\"\n.nf\n" body "${body}")
endforeach()

string(SUBSTRING "${body}" 1 -1 body)

file(WRITE ${OUTPUT}
  ".TH \"${NAME}\" 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
  ".SH SYNOPSIS\n.nf\n${synopsis}\n.fi\n"
  ".SH DESCRIPTION\n.nf\n${body}.fi\n")
