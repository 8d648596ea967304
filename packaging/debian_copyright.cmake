# Writes the Debian copyright file (machine-readable format) from LICENSE:
# the licence's text under one "Files: *" paragraph, each line indented by a
# space and each empty line a lone " .".
#   cmake -DLICENSE=FILE -DOUTPUT=FILE -P debian_copyright.cmake
file(READ ${LICENSE} text)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${text}")
set(holder "${CMAKE_MATCH_1}")
# The licence's terms: from its permission grant to its end.
string(FIND "${text}" "Permission is hereby granted" start)
string(SUBSTRING "${text}" ${start} -1 terms)
string(STRIP "${terms}" terms)
string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REGEX REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${OUTPUT}
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: zuva\n"
  "\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: Expat\n"
  " ${terms}\n")
