// The file an image is written into: a temporary file in the destination's folder (so that
// the final rename is atomic), moved over the destination only when the image is complete.
// A run that fails or is abandoned leaves the destination as it was and no temporary file.
#pragma once

#include <cstddef>
#include <string>

class ImageFile {
 public:
  explicit ImageFile(std::string destination) : destination_(std::move(destination)) {}
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  // Removes the temporary file unless Commit has moved it into place.
  ~ImageFile();

  // Creates the temporary file. Returns "" or the reason it could not be created.
  std::string Create();

  // Writes all bytes, resuming after interruptions and short writes. Returns "" or the
  // reason. REQUIRES: Create succeeded.
  std::string Write(const unsigned char* data, size_t size);

  // Closes the file, checks that it holds expected_size bytes and renames it to the
  // destination, which it replaces only when replace is true. Returns "" or the reason;
  // on failure the destination is left alone and the destructor removes the temporary file.
  // REQUIRES: Create succeeded, Commit has not run.
  std::string Commit(size_t expected_size, bool replace);

 private:
  std::string Failure(const std::string& what, int error_number) const;
  void Discard();

  std::string destination_;
  std::string temporary_;
  int fd_ = -1;
};
