// The stream libisofs reads a local file's data through.
//
// libisofs's own stream for local files makes one read(2) per 2048-byte block; this one reads
// up to 64 KiB per call and hands the blocks out of its buffer. It also refuses to deliver
// data that is not the file that was scanned: opening fails when the file is gone or has
// another identity, size or modification time, and a file that ends early fails the read
// instead of being padded with zeros.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <string>

#include "tools/libisofs_api.h"

// The first reason a stream of one image failed. Streams are read on libisofs's writer
// thread; the reason is read by the thread that consumes the image.
class StreamFailure {
 public:
  void Record(std::string reason);
  std::string Reason() const;

 private:
  mutable std::mutex mutex_;
  std::string reason_;
};

// A new stream (one reference, for iso_image_add_new_file to take) over the file at path,
// as scanned. failure must outlive the stream.
IsoStream* NewFileStream(std::string path, const struct stat& scanned, StreamFailure& failure);
