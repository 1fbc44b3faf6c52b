// The one way to include libisofs.h: it uses the fixed-width integer types without including
// their header, and it declares struct burn_source, the reader of a finished image stream,
// only for programs that do not include libburn.h.
//
// What this program takes of libisofs beyond what its header promises, by name. Each held for
// libisofs 1.5.4. LibisofsApiTest (libisofs_api_test.cpp, the first of hdiutil_test's tests)
// shows that they still hold, but for [children order], and names the one that no longer
// does: an upgrade that breaks one fails there before anything else does. A broken [stream
// layout] corrupts memory; the others cost the speed-up, as the data then falls back to
// libisofs's own streaming (see DataHandOff), or fail every run.
//
// [stream layout]  A stream object is laid out as struct iso_stream below, and libisofs
//                  frees it with free() once the last reference goes: file_stream.cpp
//                  allocates the stream and its state in one piece with malloc().
// [data last]      The image ends with the files' data, each file's on blocks of its own,
//                  padded with zeros to the next 2048 bytes, and nothing after the last:
//                  the data starts at the image's size less that of the data (LayOutData).
// [data order]     The data comes in the order of the files' sort weights, highest first,
//                  and libisofs compares weights by subtracting them, so that they must stay
//                  below INT_MAX / 2 (OrderData).
// [shared data]    Files share one copy of the data exactly when their streams compare equal
//                  through the interface's cmp_ino: hard links, and a file reached through
//                  two links, are laid out once (Compare in file_stream.cpp, LayOutData).
// [opened at data] The writer thread opens a file's stream only when it comes to write its
//                  data, after every byte before it has gone into the ring buffer; an empty
//                  file's stream may be opened or not (DataHandOff::DataPlaced).
// [cancelled]      Freeing the image stream, as libburn's burn_source_free does for the one
//                  reference (free_data, then free()), ends the writer thread even mid-image
//                  and waits for it. libisofs then queues ISO_IMAGE_WRITE_CANCELED's message,
//                  which is known by its text: the code that comes with it is another.
// [stream end]     A read of the image stream that meets its end answers 0 and drops what it
//                  had copied: reads never ask past the size the stream announced.
// [children order] A folder keeps its children in a list sorted by name and looks for each
//                  new one's place from the front, so that folder_scan.cpp adds them from the
//                  last name to the first. Only the scan's speed rests on it, which no test
//                  measures.
#pragma once

#include <cstdint>

#define LIBISOFS_WITHOUT_LIBBURN 1
#include <libisofs.h>

// [stream layout] libisofs.h leaves the stream object undefined for C++ (a member is named
// "class") and asks C++ programs to declare the same layout under other names.
struct iso_stream {
  IsoStreamIface* iface;
  int refcount;
  void* data;
};
