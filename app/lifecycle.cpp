#include "app/lifecycle.h"

#include <QCoreApplication>
#include <cstdlib>
#include <iterator>

#include "app/command_line.h"
#include "app/main_window.h"
#include "files/date_support.h"
#include "files/file_queries.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "gui/shell/application.h"
#include "gui/shell/menus.h"
#include "gui/windows/windows.h"
#include "image/bmp_codec.h"
#include "image/image_codec.h"
#include "image/image_objects.h"
#include "process/program_launch.h"
#include "runtime/hash_map.h"
#include "runtime/list.h"
#include "runtime/memory.h"
#include "runtime/program_arguments.h"
#include "runtime/string_stack.h"

uint8_t RunningFlag = 0;
int64_t LastEvent = 0;
int32_t ExitStatus = 0;

const ModuleRoutine StartRoutines[21] = {
    {"files: the current process becomes the front process", &BringProcessToFront},
    {"shell: application object and application menu", &StartApplication},
    {"memory: C locale", &InitLocale},
    {"files: working directory := the bundle contents folder", &EnterBundleContents},
    {"strings: StringStack", &InitStringStack},
    {"hash map: container hooks", &RegisterMapHooks},
    {"drawing state: module globals", nullptr},
    {"images: decode context", &InitImageDecodeContext},
    {"images: BMP decoder and encoder", &RegisterBmpCodec},
    {"list: container hooks", &RegisterListHooks},
    {"images: image table", &InitImageTable},
    {"images: drawing scale", &InitDrawingScale},
    {"images: table of retained platform objects", &InitRetainedObjectTable},
    {"images: thread-local key", &InitImageThreadKey},
    {"events: node pool and binding map", &InitEvents},
    {"windows: window table and gadget-list state", &InitWindows},
    {"shell: menu table", &InitMenus},
    {"files: date support", &InitDateSupport},
    {"gadgets: gadget table", &InitGadgets},
    {"requesters", &InitRequesters},
    {"process runner: program list lock", &InitProgramRunner},
};

const ModuleRoutine EndRoutines[4] = {
    // No file objects are ever made, so there is no file object table to free.
    {"files: file object table", nullptr},
    {"files: date support", &FreeDateSupport},
    {"images: retained platform objects", &FreeRetainedObjects},
    {"images: image table", &FreeImages},
};

namespace {

void RunRoutines(const ModuleRoutine* routines, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (routines[i].routine != nullptr) routines[i].routine();
  }
}

bool EndsMainLoop(int64_t kind) {
  if (kind == EndRequestEvent) return true;
  return kind == EvMenuItem && CurrentEventObject() == QuitMenuItem;
}

}  // namespace

void RunStartRoutines() {
  RunRoutines(StartRoutines, std::size(StartRoutines));
}

void RunMainLoop() {
  // Every other event is ignored here: its bound handlers have already run.
  do {
    LastEvent = WaitForEvent(-1);
  } while (!EndsMainLoop(LastEvent));
}

void RunEndRoutines() {
  RunRoutines(EndRoutines, std::size(EndRoutines));
}

void EndProgram() {
  RunEndRoutines();
  std::exit(ExitStatus);
}

void ProgramEntry(int argc, char** argv) {
  ProgramArgumentCount = argc;
  ProgramArgumentVector = argv;
  // --help and --version answer before anything starts, and the working directory that a
  // relative FOLDER means is noted before start-up leaves it.
  AnswerCommandLine(argc, argv);
  RunStartRoutines();
  // FOLDER, from what the application object left of the arguments after taking Qt's.
  TakeCommandLineFolder(QCoreApplication::arguments());
  RunningFlag = 1;
  LastEvent = 0;
  // When the window cannot be opened the loop still runs and ends through the quit request.
  BuildMainWindow();
  RunMainLoop();
  EndProgram();
}
