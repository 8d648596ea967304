# Copies a Markdown document for installation beside the documents it is
# installed with: a relative link to a file that is installed too points to
# its installed name, and any other relative link (to a file of the source
# tree that is not installed) keeps its text and loses its target.
#   cmake -DINPUT=README.md -DOUTPUT=FILE "-DINSTALLED=docs/a.md=a.md;LICENSE=copyright"
#         -P doc_links.cmake
file(READ ${INPUT} text)
foreach(pair ${INSTALLED})
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  string(REPLACE "](${from})" "](${to}:kept)" text "${text}")
  string(REPLACE "[${from}](" "[${to}](" text "${text}")
endforeach()
# Links with a scheme or to an anchor stay; every other relative one goes.
string(REGEX REPLACE "\\[([^]]*)\\]\\(([^):#]+)\\)" "\\1" text "${text}")
string(REPLACE ":kept)" ")" text "${text}")
file(WRITE ${OUTPUT} "${text}")
