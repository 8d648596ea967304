// The tool's help: an overview of the commands, each command's own page
// (usage, options, exit codes), and the whole text for the manual page.
#ifndef ZUVA_TOOL_TOOL_HELP_H_
#define ZUVA_TOOL_TOOL_HELP_H_

#include <string>

// `zuvatool --help`: every command with one line, then how to get more.
std::string ToolOverviewText();

// `zuvatool COMMAND --help`, one screen: the command's usage and summary,
// one line per option, the exit codes it can end with and where the rest
// is. Empty for a name that is no command.
std::string ToolCommandHelpText(const std::string& command);

// Everything: the overview's words, every command with what it does and its
// options explained, the shared sections, examples, files, environment. The
// manual page is made from it.
std::string ToolFullHelpText();

#endif  // ZUVA_TOOL_TOOL_HELP_H_
