#include "tools/hybrid_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "tools/file_stream.h"
#include "tools/folder_scan.h"
#include "tools/image_file.h"
#include "tools/libisofs_api.h"
#include "tools/source_snapshot.h"

namespace {

// How much of the image stream one read takes and one write gives out. Reading block by
// block (2048 bytes) made libisofs's writer thread and this one wake each other for every
// block once the writer was the faster: five times the CPU time.
constexpr size_t CopyChunkSize = size_t{256} << 10;

// libisofs takes char* for texts it only reads.
char* Text(const char* text) {
  return const_cast<char*>(text);
}

// The least severity that fails a run. libisofs reports a file it cannot read while
// writing (a stream failing) as MISHAP, and most trouble with a tree as SORRY or worse;
// WARNING and below (a symbolic link the Joliet tree cannot hold, a name that had to be
// shortened) lose no data.
constexpr const char* FailingSeverity = "SORRY";

// libisofs's process-wide state for one run: initialised without touching the locale, with
// UTF-8 as the charset of file names whatever the locale says (the caller may run under the
// C locale), messages queued rather than printed, and the failing severities made to abort:
// by default libisofs writes zeros for a file it cannot read and carries on.
class LibisofsSession {
 public:
  LibisofsSession() = default;
  LibisofsSession(const LibisofsSession&) = delete;
  LibisofsSession& operator=(const LibisofsSession&) = delete;
  ~LibisofsSession() {
    if (!started_) return;
    char* previous = nullptr;
    if (iso_sev_to_text(previous_abort_, &previous) > 0) iso_set_abort_severity(previous);
    iso_finish();
  }

  // Returns "" or the reason libisofs could not be set up.
  std::string Start() {
    if (iso_init_with_flag(1) < 0) return "cannot initialise libisofs";
    started_ = true;
    if (iso_set_local_charset(Text("UTF-8"), 0) <= 0) return "libisofs cannot use UTF-8";
    iso_set_msgs_severities(Text("WARNING"), Text("NEVER"), Text("hdiutil"));
    previous_abort_ = iso_set_abort_severity(Text(FailingSeverity));
    return {};
  }

 private:
  bool started_ = false;
  int previous_abort_ = 0;
};

struct ImageDeleter {
  void operator()(IsoImage* image) const { iso_image_unref(image); }
};
struct WriteOptionsDeleter {
  void operator()(IsoWriteOpts* options) const { iso_write_opts_free(options); }
};
// Ends the image generator (joining its thread, even mid-image) and frees the source the
// way libburn's burn_source_free does for the single reference.
struct StreamDeleter {
  void operator()(burn_source* stream) const {
    stream->free_data(stream);
    std::free(stream);
  }
};
using ImagePtr = std::unique_ptr<IsoImage, ImageDeleter>;
using WriteOptionsPtr = std::unique_ptr<IsoWriteOpts, WriteOptionsDeleter>;
using StreamPtr = std::unique_ptr<burn_source, StreamDeleter>;

// Takes the queued messages: the first one that fails the run is returned, the milder ones
// go to progress.
std::string TakeMessages(ProgressSink& progress) {
  int failing_rank = 0;
  iso_text_to_sev(Text(FailingSeverity), &failing_rank);
  std::string failure;
  int code = 0;
  int image_id = 0;
  char text[ISO_MSGS_MESSAGE_LEN];
  char severity[80];
  while (iso_obtain_msgs(Text("WARNING"), &code, &image_id, text, severity) == 1) {
    int rank = 0;
    iso_text_to_sev(severity, &rank);
    if (rank < failing_rank) {
      progress.Warned(text);
    } else if (failure.empty()) {
      failure = text;
    }
  }
  return failure;
}

std::string LibisofsFailure(int result, ProgressSink& progress) {
  std::string queued = TakeMessages(progress);
  return queued.empty() ? iso_error_to_msg(result) : queued;
}

// The absolute, normalised form without a trailing slash that the scan takes.
std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  std::string text = absolute.lexically_normal().string();
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string CheckDestination(const MakeHybridOptions& options) {
  struct stat info;
  if (stat(options.output.c_str(), &info) != 0) return {};
  if (S_ISDIR(info.st_mode)) return options.output + " is a folder";
  return options.overwrite ? "" : "file exists";
}

// The files a scan of the folder must leave out, should they lie in it: an earlier image at
// the destination, which is about to be replaced, and the file being written. By identity,
// since the destination or the folder may be spelled through a link.
std::vector<FileId> ExcludedFiles(const MakeHybridOptions& options, const ImageFile& file) {
  std::vector<FileId> excluded{{file.device(), file.inode()}};
  struct stat info;
  // lstat: a link at the destination is what the rename replaces.
  if (lstat(options.output.c_str(), &info) == 0) excluded.push_back({info.st_dev, info.st_ino});
  return excluded;
}

std::string BuildTree(const MakeHybridOptions& options, const ImageFile& file, ImagePtr& image,
                      StreamFailure& failure, SourceSnapshot& snapshot, ProgressSink& progress) {
  IsoImage* created = nullptr;
  int result = iso_image_new(options.volume_name.c_str(), &created);
  if (result < 0) return iso_error_to_msg(result);
  image.reset(created);
  FolderScan scan{created, ExcludedFiles(options, file), &failure, &snapshot};
  std::string reason = AddFolderContents(scan, AbsolutePath(options.source));
  if (reason.empty()) reason = TakeMessages(progress);
  return reason;
}

WriteOptionsPtr WriteOptions(const MakeHybridOptions& options) {
  IsoWriteOpts* created = nullptr;
  if (iso_write_opts_new(&created, 0) < 0) return nullptr;
  WriteOptionsPtr write_options(created);
  iso_write_opts_set_iso_level(created, 3);
  iso_write_opts_set_rockridge(created, 1);
  // Rock Ridge names are the files' own names, which are UTF-8.
  iso_write_opts_set_output_charset(created, "UTF-8");
  if (!options.joliet) return write_options;
  iso_write_opts_set_joliet(created, 1);
  iso_write_opts_set_joliet_longer_paths(created, 1);
  iso_write_opts_set_joliet_long_names(created, 1);
  // UTF-16 rather than UCS-2, so that names outside the Basic Multilingual Plane survive.
  iso_write_opts_set_joliet_utf16(created, 1);
  // "README" stays "README" in Joliet instead of "README." (bit 1: Joliet only; ISO 9660
  // names keep the dot the standard wants).
  iso_write_opts_set_no_force_dots(created, 2);
  return write_options;
}

// Copies the image stream into file. Returns "" when the stream ended, however early
// (the caller compares the count), or the reason writing failed.
//
// A read never asks for more than what is left of the announced size: the installed
// libisofs answers a read that meets the end of the stream with 0, dropping the bytes it
// has already copied into the buffer.
std::string CopyStream(burn_source* stream, uint64_t image_size, ImageFile& file,
                       ProgressSink& progress, uint64_t& written) {
  std::vector<unsigned char> buffer(CopyChunkSize);
  while (written < image_size) {
    int want = static_cast<int>(std::min<uint64_t>(buffer.size(), image_size - written));
    int count = stream->read_xt(stream, buffer.data(), want);
    if (count <= 0) return {};
    std::string failure = file.Write(buffer.data(), static_cast<size_t>(count));
    if (!failure.empty()) return failure;
    written += static_cast<uint64_t>(count);
    progress.Advanced(written, image_size);
  }
  return {};
}

// Starts libisofs's writer thread with the cleanup signals blocked, so that they reach only
// this thread, which keeps the temporary file's name in step with the file system.
int CreateImageStream(IsoImage* image, IsoWriteOpts* write_options, burn_source** stream) {
  CleanupSignalsBlocked blocked;
  return iso_image_create_burn_source(image, write_options, stream);
}

std::string WriteImage(const MakeHybridOptions& options, IsoImage* image, ImageFile& file,
                       const StreamFailure& stream_failure, const SourceSnapshot& snapshot,
                       ProgressSink& progress) {
  WriteOptionsPtr write_options = WriteOptions(options);
  if (!write_options) return "cannot set up the image options";
  burn_source* created = nullptr;
  int result = CreateImageStream(image, write_options.get(), &created);
  if (result < 0) return LibisofsFailure(result, progress);
  StreamPtr stream(created);
  uint64_t image_size = static_cast<uint64_t>(stream->get_size(stream.get()));
  progress.Started(image_size);
  uint64_t written = 0;
  std::string failure = CopyStream(stream.get(), image_size, file, progress, written);
  if (!failure.empty()) return failure;
  // Most specific first: a stream names the file and what happened to it, while libisofs's
  // message for it speaks of the zeros it would write instead.
  failure = stream_failure.Reason();
  if (failure.empty()) failure = snapshot.FindChange();
  if (failure.empty()) failure = TakeMessages(progress);
  if (!failure.empty()) return failure;
  if (written != image_size) {
    return "the image ended after " + std::to_string(written) + " of " +
           std::to_string(image_size) + " bytes";
  }
  return file.Commit(image_size, options.overwrite);
}

}  // namespace

std::string MakeHybridImage(const MakeHybridOptions& options, ProgressSink& progress) {
  std::string failure = CheckDestination(options);
  if (!failure.empty()) return failure;
  LibisofsSession session;
  failure = session.Start();
  if (!failure.empty()) return failure;
  // The streams in the image's tree report into stream_failure, so it outlives the image.
  StreamFailure stream_failure;
  SourceSnapshot snapshot;
  // Made before the scan, so that a folder that cannot take the image fails the run at once,
  // and so that the scan knows the file to leave out.
  ImageFile file(options.output);
  failure = file.Create();
  if (!failure.empty()) return failure;
  ImagePtr image;
  failure = BuildTree(options, file, image, stream_failure, snapshot, progress);
  if (!failure.empty()) return failure;
  return WriteImage(options, image.get(), file, stream_failure, snapshot, progress);
}
