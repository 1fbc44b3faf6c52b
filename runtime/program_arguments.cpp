#include "runtime/program_arguments.h"

int32_t ProgramArgumentCount = 0;
char** ProgramArgumentVector = nullptr;
