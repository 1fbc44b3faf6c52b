// The file an image is written into, in the destination's folder (so that the final rename
// is atomic), moved over the destination only when the image is complete. A run that fails
// or is abandoned leaves the destination as it was and no temporary file.
//
// Where the file system can, the file has no name until it is complete, so that not even a
// killed run leaves anything behind; elsewhere it is a hidden, named temporary file, which
// the terminating signals remove once RemoveTemporaryFileOnSignals has run.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Makes SIGTERM, SIGINT and SIGHUP remove the named temporary file of the image being
// written, if there is one, and then end the process by the same signal. A signal that is
// ignored (as nohup leaves SIGHUP) stays ignored. For a program's start, before any thread.
void RemoveTemporaryFileOnSignals();

// Blocks those signals in the calling thread while it lives. A thread started meanwhile
// inherits the mask and never takes them: the handler must run on the thread that names
// and renames the temporary file, which blocks them while it does so.
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked();
  CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
  CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;
  ~CleanupSignalsBlocked();

  // Leaves the signals blocked when the guard goes, for the rest of the thread's life.
  void Keep() && { restore_ = false; }

 private:
  sigset_t previous_;
  bool restore_ = true;
};

// Follows a destination that is a symbolic link, and any link it leads to, to the file that an
// image for it replaces, as an editor saving through a link replaces that file and leaves the
// links alone. target receives the path, whose file may not exist yet. Returns "" or the
// reason the links cannot be followed.
std::string FollowLinks(const std::string& destination, std::string& target);

class ImageFile {
 public:
  explicit ImageFile(std::string destination) : destination_(std::move(destination)) {}
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  // Removes the temporary file unless Commit has moved it into place.
  ~ImageFile();

  // Creates the temporary file. Returns "" or the reason it could not be created. At most
  // one ImageFile of a process has a temporary file at a time.
  std::string Create();

  // The path the image goes to.
  const std::string& destination() const { return destination_; }
  // The device and inode of the temporary file, which a scan of the destination's folder
  // must leave out. REQUIRES: Create succeeded.
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }
  // Refuses an image of size bytes that the destination's file system has no room for: room
  // being what an unprivileged user may still take there. An earlier image at the destination
  // keeps its blocks until the new one replaces it, so they are not room. Returns "" or the
  // reason, which names the destination's folder in full; "" too when the room cannot be
  // known. For before the first write, and before Resize. REQUIRES: Create succeeded.
  std::string CheckRoom(uint64_t size) const;
  // Makes the file size bytes long, of zeros where nothing was written. Returns "" or the
  // reason. REQUIRES: Create succeeded.
  std::string Resize(uint64_t size);

  // Writes all bytes, resuming after interruptions and short writes. Returns "" or the
  // reason. REQUIRES: Create succeeded.
  std::string Write(const unsigned char* data, size_t size);
  // The same at offset, leaving the file's position alone; safe from several threads at once.
  std::string WriteAt(const unsigned char* data, size_t size, uint64_t offset) const;

  // Has the device take the bytes written before through, in the background, and waits
  // until it has taken those WriteBackLag bytes and more before it. For one thread, with
  // through growing; the bytes may have been written by others. Left alone, the kernel keeps
  // gigabytes of an image in memory until Commit, whose flush then takes as long as the
  // writing did, while the run has nothing to show for it. Failures are left for Commit to
  // report. REQUIRES: Create succeeded.
  static constexpr uint64_t WriteBackLag = uint64_t{32} << 20;
  void WriteBack(uint64_t through);

  // Checks that the file holds expected_size bytes, flushes its data to the device, closes it
  // and renames it to the destination, which it replaces only when replace is true. Returns "" or
  // the reason; on failure the destination is left alone and the destructor removes the temporary
  // file. On success SIGTERM, SIGINT and SIGHUP stay blocked in the calling thread: once the
  // destination holds the image the run has succeeded, and one of them that comes during the
  // rename or after it must not end the process as though the run had been cancelled.
  // REQUIRES: Create succeeded, Commit has not run.
  std::string Commit(size_t expected_size, bool replace);

 private:
  std::string Failure(const std::string& what, int error_number) const;
  std::string CreateNamed();
  std::string GiveName();
  void Discard();

  std::string destination_;
  std::string temporary_;  // the temporary file's name, "" while it has none
  int fd_ = -1;
  uint64_t write_back_started_ = 0;  // up to here
  uint64_t written_back_ = 0;        // up to here
  dev_t device_ = 0;
  ino_t inode_ = 0;
};
