#include "app/identity.h"
#include "app/lifecycle.h"

int main(int argc, char** argv) {
  // The desktop matches the running window to the installed entry, icon and metainfo by it.
  SetProgramIdentity();
  ProgramEntry(argc, argv);
}
