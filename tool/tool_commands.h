// The tool's commands. Each takes the parsed command line and the output,
// does its work and returns the exit code (through CToolOutput::Result).
#ifndef ZUVA_TOOL_TOOL_COMMANDS_H_
#define ZUVA_TOOL_TOOL_COMMANDS_H_

#include "tool/tool_options.h"
#include "tool/tool_output.h"

int RunListCommand(const ToolOptions& options, CToolOutput* out);
int RunInfoCommand(const ToolOptions& options, CToolOutput* out);
int RunConvertCommand(const ToolOptions& options, CToolOutput* out);
int RunFlashCommand(const ToolOptions& options, CToolOutput* out);
// verify: the device's memory compared with a file, nothing written.
int RunVerifyCommand(const ToolOptions& options, CToolOutput* out);
int RunReadCommand(const ToolOptions& options, CToolOutput* out);
int RunEraseCommand(const ToolOptions& options, CToolOutput* out);
// leave, detach and unprotect.
int RunModeCommand(const ToolOptions& options, CToolOutput* out);

#endif  // ZUVA_TOOL_TOOL_COMMANDS_H_
