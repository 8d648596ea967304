// Program entry.
#include "app/program_flow.h"

int main(int argc, char** argv) { return RunProgram(argc, argv); }
