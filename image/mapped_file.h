// Mapped files: a decoder's file source brought into memory, mapped where it can be and read
// into a block of our own where it cannot, and mapped bytes read so that a file cut short
// meanwhile fails the read instead of the process.
//
// A file is mapped into memory rather than copied: its pages come straight from the page
// cache into the decoded rows, with no fresh block to fill first. Reading stays bounded by
// the size the file had when it was mapped, and ReadMapped catches the one thing a bound
// cannot: another program cutting the file short meanwhile. Touching a mapped page that lies
// past the end of such a file raises SIGBUS; while a mapping is read, a handler turns a fault
// inside it into a failed read, and any other SIGBUS goes to the action that was there
// before. Reads may run on several threads at once, each on a context of its own.
#pragma once

#include <cstdint>

#include "image/image_codec.h"

// Gives the context's file source its bytes: bytes and size from a mapping of the file, or
// else from a copy in file_copy. False, having taken nothing, when there is no file, when it
// cannot be read, or when it is shorter than smallest_size bytes.
bool LoadFileBytes(ImageDecodeContext* context, uint64_t smallest_size);

// Releases the context's bytes: a file's copy or mapping is freed, a memory source's bytes
// are left to their owner. The context keeps no bytes afterwards; a second call does nothing.
void ReleaseFileBytes(ImageDecodeContext* context);

using MappedReadFunction = int32_t (*)(void* state);

// Runs read(state), which reads the context's bytes, and returns its result; 0 when they are
// a mapped file that shrank under it. read is then left by a jump, so it must hold nothing
// that needs a destructor (the decoders allocate nothing).
int32_t ReadMappedBytes(const ImageDecodeContext* context, MappedReadFunction read, void* state);

// ReadMappedBytes for a callable that returns the result.
template <typename Read>
int32_t ReadMapped(const ImageDecodeContext* context, Read read) {
  const MappedReadFunction call = [](void* state) -> int32_t {
    return (*static_cast<Read*>(state))();
  };
  return ReadMappedBytes(context, call, &read);
}
