#include "tools/hybrid_image.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/converter_pool.h"
#include "tools/data_copy.h"
#include "tools/data_hand_off.h"
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
    CloseIdleConverters();
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
// way libburn's burn_source_free does for the single reference ([cancelled] in
// libisofs_api.h). A writer thread that waits at the data is told to deliver it first: it
// would otherwise wait for a decision that does not come.
struct StreamDeleter {
  DataHandOff* hand_off;
  void operator()(burn_source* stream) const {
    hand_off->Decide(false);
    stream->free_data(stream);
    std::free(stream);
  }
};
using ImagePtr = std::unique_ptr<IsoImage, ImageDeleter>;
using WriteOptionsPtr = std::unique_ptr<IsoWriteOpts, WriteOptionsDeleter>;
using StreamPtr = std::unique_ptr<burn_source, StreamDeleter>;

// Takes the queued messages: the first one that fails the run is returned, the milder ones
// go to progress. writer_ended: the writer thread was ended once the image's trees were
// made, which it reports as a cancelled image.
std::string TakeMessages(ProgressSink& progress, bool writer_ended = false) {
  int failing_rank = 0;
  iso_text_to_sev(Text(FailingSeverity), &failing_rank);
  std::string failure;
  int code = 0;
  int image_id = 0;
  char text[ISO_MSGS_MESSAGE_LEN];
  char severity[80];
  while (iso_obtain_msgs(Text("WARNING"), &code, &image_id, text, severity) == 1) {
    // By its text ([cancelled] in libisofs_api.h).
    if (writer_ended && std::strcmp(text, iso_error_to_msg(ISO_IMAGE_WRITE_CANCELED)) == 0)
      continue;
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

// Checked before any work, so that a destination that cannot take the image fails the run at
// once: one already there without -ov (a link that leads nowhere too), a folder, a name that
// its folder refuses. destination receives where the image goes (see FollowLinks).
std::string CheckDestination(const MakeHybridOptions& options, std::string& destination) {
  destination = options.output;
  struct stat info;
  if (lstat(options.output.c_str(), &info) != 0) {
    if (errno == ENOENT) return {};
    return "cannot create " + options.output + ": " + std::strerror(errno);
  }
  if (!options.overwrite) {
    return S_ISDIR(info.st_mode) ? options.output + " is a folder" : "file exists";
  }
  std::string failure = FollowLinks(options.output, destination);
  if (!failure.empty()) return failure;
  if (stat(destination.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return options.output + " is a folder";
  }
  return {};
}

// The files a scan of the folder must leave out, should they lie in it: an earlier image at
// the destination, which is about to be replaced, and the file being written. By identity,
// since the destination or the folder may be spelled through a link.
std::vector<FileId> ExcludedFiles(const ImageFile& file) {
  std::vector<FileId> excluded{{file.device(), file.inode()}};
  struct stat info;
  // The file the rename replaces: any links at the destination are followed already.
  if (lstat(file.destination().c_str(), &info) == 0) {
    excluded.push_back({info.st_dev, info.st_ino});
  }
  return excluded;
}

// The earlier image at the destination and the folder it lies in, if there is one. A link
// given as the destination has been followed to the file that the run replaces.
std::optional<ReplacedImage> FindReplacedImage(const MakeHybridOptions& options,
                                               const ImageFile& file) {
  std::filesystem::path output(file.destination());
  std::filesystem::path folder = output.parent_path();
  if (folder.empty()) folder = ".";
  struct stat image;
  struct stat holder;
  if (lstat(output.c_str(), &image) != 0 || stat(folder.c_str(), &holder) != 0) {
    return std::nullopt;
  }
  return ReplacedImage{{image.st_dev, image.st_ino},
                       {holder.st_dev, holder.st_ino},
                       output.filename().string(),
                       options.output};
}

// Relocation of deep folders.
//
// An ISO 9660 tree holds eight levels of folders, the root's one of them; Rock Ridge moves
// deeper folders elsewhere and leaves a pointer to each at its place. libisofs moves them into
// the root, where libarchive (bsdtar and the archive managers built on it) refuses the whole
// image; into a folder of this name it reads them, as the Linux kernel, osirrox and 7-Zip do.
// Made by this program, when the tree is that deep, and hidden from the Joliet tree, which has
// no depth limit and would show it as an empty folder: libisofs would make it in both trees.
// Rock Ridge readers but libarchive show it, empty; its name hides it in file managers. A
// folder of that name in the folder itself takes the relocated folders instead.
constexpr const char* RelocationFolder = ".rr_moved";
constexpr size_t DeepestUnmoved = 7;  // below the root

std::string MakeRelocationFolder(IsoImage* image) {
  IsoDir* root = iso_image_get_root(image);
  if (iso_dir_get_node(root, RelocationFolder, nullptr) == 1) return {};  // the folder's own
  IsoDir* folder = nullptr;
  int result = iso_image_add_new_dir(image, root, RelocationFolder, &folder);
  if (result < 0) return iso_error_to_msg(result);
  iso_node_set_permissions(ISO_NODE(folder), iso_node_get_permissions(ISO_NODE(root)));
  iso_node_set_hidden(ISO_NODE(folder), LIBISO_HIDE_ON_JOLIET | LIBISO_HIDE_ON_1999);
  return {};
}

std::string BuildTree(const MakeHybridOptions& options, const ImageFile& file, ImagePtr& image,
                      StreamContext& streams, SourceSnapshot& snapshot,
                      std::vector<IsoFile*>& files, ProgressSink& progress) {
  IsoImage* created = nullptr;
  int result = iso_image_new(options.volume_name.c_str(), &created);
  if (result < 0) return iso_error_to_msg(result);
  image.reset(created);
  size_t deepest = 0;
  FolderScan scan{created,
                  ExcludedFiles(file),
                  FindReplacedImage(options, file),
                  &streams,
                  &snapshot,
                  &files,
                  getuid(),
                  !options.keep_symlinks,
                  [&progress](const std::string& text) { progress.Warned(text); },
                  &deepest};
  std::string reason = AddFolderContents(scan, AbsolutePath(options.source));
  if (reason.empty() && deepest > DeepestUnmoved) reason = MakeRelocationFolder(created);
  if (reason.empty()) reason = TakeMessages(progress);
  return reason;
}

WriteOptionsPtr WriteOptions(const MakeHybridOptions& options, IsoImage* image) {
  IsoWriteOpts* created = nullptr;
  if (iso_write_opts_new(&created, 0) < 0) return nullptr;
  WriteOptionsPtr write_options(created);
  iso_write_opts_set_iso_level(created, 3);
  iso_write_opts_set_rockridge(created, 1);
  // Rock Ridge names are the files' own names, which are UTF-8.
  iso_write_opts_set_output_charset(created, "UTF-8");
  if (iso_dir_get_node(iso_image_get_root(image), RelocationFolder, nullptr) == 1) {
    iso_write_opts_set_rr_reloc(created, Text(RelocationFolder), 0);
  }
  // The directory records of every tree, which all but Rock Ridge readers show, hold each
  // file's modification time rather than the image's.
  iso_write_opts_set_dir_rec_mtime(created, 7);
  // The files' data in the order of their weights (see OrderData).
  iso_write_opts_set_sort_files(created, 1);
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

// What the parts of a run after the scan cost, in bytes whose copying takes as long (see
// PerFileCopyWork). libisofs makes the trees byte by byte, converting every name: a byte of
// them takes about as long as ten of a file's data. Examining a file again once the data is
// written takes about a third of copying a small one. The flush to the device at the end
// waits at most for what ImageFile::WriteBack left behind.
constexpr uint64_t TreeByteWork = 10;
constexpr uint64_t PerFileCheckWork = 3 << 10;

// Tells the sink how far a run has come in the work it does after the scan: the trees, the
// files' data, the check that the folder is still as scanned, and the flush and naming of
// the image. Weighed by the image's bytes alone, the trees and the many small files' data
// went faster than their share, and the check and flush came after the last percent.
class RunProgress {
 public:
  RunProgress(ProgressSink& sink, uint64_t image_size, const DataLayout& layout, size_t file_count)
      : sink_(sink),
        layout_(layout),
        data_start_(image_size - std::min(layout.size, image_size)),
        trees_(data_start_ * TreeByteWork),
        checks_(file_count * PerFileCheckWork),
        total_(trees_ + layout.work + checks_ + std::min(image_size, ImageFile::WriteBackLag)) {}

  // The image's first bytes have been written, the trees and any data after them.
  void Written(uint64_t bytes) {
    if (bytes <= data_start_) return Report(bytes * TreeByteWork);
    Report(trees_ + layout_.WorkThrough(bytes - data_start_));
  }
  // This program has done work of the data's (see DataLayout::work).
  void DataCopied(uint64_t work) { Report(trees_ + work); }
  void FilesChecked(size_t count) { Report(trees_ + layout_.work + count * PerFileCheckWork); }
  void Finished() { Report(total_, true); }

 private:
  // Only what grows reaches the sink, and only the end reaches the total.
  void Report(uint64_t done, bool finished = false) {
    if (!finished) done = std::min(done, total_ - 1);
    if (done <= reported_) return;
    reported_ = done;
    sink_.Advanced(done, total_);
  }

  ProgressSink& sink_;
  const DataLayout& layout_;
  uint64_t data_start_;
  uint64_t trees_;
  uint64_t checks_;
  uint64_t total_;
  uint64_t reported_ = 0;
};

// Copies the image stream into file up to byte end. Returns "" when it got there, or the
// stream ended or paused, however early (the caller compares the count), or the reason
// writing failed. A read never asks past the size the stream announced ([stream end] in
// libisofs_api.h).
std::string CopyStream(burn_source* stream, uint64_t end, ImageFile& file, StreamContext& streams,
                       RunProgress& progress, uint64_t& written) {
  std::vector<unsigned char> buffer(CopyChunkSize);
  while (written < end) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - written));
    int count = static_cast<int>(streams.hand_off().AwaitChunk(stream, want));
    if (count > 0) count = stream->read_xt(stream, buffer.data(), count);
    if (count <= 0) return {};
    std::string failure = file.Write(buffer.data(), static_cast<size_t>(count));
    if (!failure.empty()) return failure;
    written += static_cast<uint64_t>(count);
    file.WriteBack(written);
    progress.Written(written);
  }
  return {};
}

// Starts libisofs's writer thread with the cleanup signals blocked, so that they reach only
// this thread, which keeps the temporary file's name in step with the file system.
int CreateImageStream(IsoImage* image, IsoWriteOpts* write_options, burn_source** stream) {
  CleanupSignalsBlocked blocked;
  return iso_image_create_burn_source(image, write_options, stream);
}

// Gives every file the weight of its place in layout, so that libisofs lays the data out in
// that order: the highest weight first. Hard links share a place, and their data. Left to
// itself, libisofs would lay the data out in the order of the tree, which this program
// could only know by repeating libisofs's work.
bool OrderData(const std::vector<IsoFile*>& files, const DataLayout& layout) {
  // libisofs compares weights by subtracting them ([data order] in libisofs_api.h).
  if (layout.files.size() >= size_t{INT_MAX} / 2) return false;
  int count = static_cast<int>(layout.files.size());
  for (IsoFile* node : files) {
    const SourceSnapshot::File* file = FileOfStream(iso_file_get_stream(node));
    if (file == nullptr) return false;
    auto place = std::ranges::lower_bound(
        layout.files, DataOrderOf(*file), {},
        [](const DataLayout::Entry& entry) { return DataOrderOf(*entry.file); });
    iso_node_set_sort_weight(ISO_NODE(node),
                             count - static_cast<int>(place - layout.files.begin()));
  }
  return true;
}

// Starts copying the files' data into its place, unless the image file cannot be made long
// enough; why not goes to why.
std::unique_ptr<DataCopy> StartDataCopy(const DataLayout& layout, uint64_t image_size,
                                        ImageFile& file, StreamContext& streams, std::string& why) {
  if (layout.size > image_size) {
    why = "the data outgrows the image [data last]";
    return nullptr;
  }
  // At its full size from the start: the last file's data may end before the image does.
  why = file.Resize(image_size);
  if (!why.empty()) return nullptr;
  auto copy = std::make_unique<DataCopy>(layout, image_size - layout.size, file, streams);
  copy->Start();
  return copy;
}

// The data goes through the image stream, for the reason given if placing it was asked for.
void StreamInstead(DataPathTaken& taken, const std::string& why) {
  if (taken.path == DataPath::Placed) taken.why_streamed = why;
  taken.path = DataPath::Streamed;
}

std::string WriteImage(const MakeHybridOptions& options, ImagePtr image, ImageFile& file,
                       StreamContext& streams, const SourceSnapshot& snapshot,
                       const std::vector<IsoFile*>& files, ProgressSink& progress,
                       DataPathTaken& taken) {
  WriteOptionsPtr write_options = WriteOptions(options, image.get());
  if (!write_options) return "cannot set up the image options";
  // libisofs writes the files' data last, one file after the other in its order. Expected
  // before its writer thread starts, which may reach the data at once.
  DataLayout layout = LayOutData(snapshot);
  auto first_data = std::ranges::find_if(
      layout.files, [](const DataLayout::Entry& entry) { return entry.file->state.size > 0; });
  bool ordered = OrderData(files, layout);
  if (taken.path == DataPath::Placed && first_data != layout.files.end() && ordered) {
    streams.hand_off().Expect(*first_data->file);
  } else {
    StreamInstead(taken,
                  ordered ? "no file holds data" : "the data cannot be ordered [data order]");
  }
  StreamPtr stream(nullptr, StreamDeleter{&streams.hand_off()});
  burn_source* created = nullptr;
  int result = CreateImageStream(image.get(), write_options.get(), &created);
  if (result < 0) return LibisofsFailure(result, progress);
  stream.reset(created);
  uint64_t image_size = static_cast<uint64_t>(stream->get_size(stream.get()));
  progress.Started(image_size);
  RunProgress run(progress, image_size, layout, snapshot.files().size());
  // Before the file gets its size and before any byte is written, so that a folder without
  // room for the image refuses it at once, and not after writing what fits.
  std::string refused = file.CheckRoom(image_size);
  if (!refused.empty()) return refused;
  uint64_t data_start = image_size - std::min(layout.size, image_size);
  std::unique_ptr<DataCopy> copy;
  std::string why_streamed;
  if (taken.path == DataPath::Placed) {
    copy = StartDataCopy(layout, image_size, file, streams, why_streamed);
  }
  uint64_t written = 0;
  std::string failure =
      CopyStream(stream.get(), copy ? data_start : image_size, file, streams, run, written);
  if (!failure.empty()) return failure;
  if (copy) {
    why_streamed = streams.hand_off().Agree(stream.get(), written == data_start).failure();
  }
  if (copy && why_streamed.empty()) {
    streams.hand_off().Decide(true);
    // Ends the writer thread, which has nothing more to give.
    stream.reset();
    auto copied = [&](uint64_t work, uint64_t piece_end) {
      file.WriteBack(data_start + piece_end);
      run.DataCopied(work);
    };
    // The copied bytes leave out the zeros that end each file's last block.
    if (copy->Finish(copied)) written = image_size;
  } else if (written < image_size) {
    // Should libisofs ever lay the image out otherwise, it delivers the data itself.
    StreamInstead(taken, why_streamed);
    copy.reset();
    streams.hand_off().Decide(false);
    failure = CopyStream(stream.get(), image_size, file, streams, run, written);
    if (!failure.empty()) return failure;
  }
  stream.reset();
  image.reset();
  std::string changed = snapshot.FindChange([&run](size_t checked) { run.FilesChecked(checked); });
  // Most specific first: a stream names the file and what happened to it, while libisofs's
  // message for it speaks of the zeros it would write instead.
  failure = streams.FailureReason();
  if (failure.empty()) failure = changed;
  if (failure.empty()) failure = TakeMessages(progress, taken.path == DataPath::Placed);
  if (!failure.empty()) return failure;
  if (written != image_size) {
    return "the image ended after " + std::to_string(written) + " of " +
           std::to_string(image_size) + " bytes";
  }
  failure = file.Commit(image_size, options.overwrite);
  if (failure.empty()) run.Finished();
  return failure;
}

}  // namespace

std::string MakeHybridImage(const MakeHybridOptions& options, ProgressSink& progress,
                            DataPath requested, DataPathTaken* taken) {
  DataPathTaken path{requested, {}};
  if (taken != nullptr) *taken = path;
  std::string destination;
  std::string failure = CheckDestination(options, destination);
  if (!failure.empty()) return failure;
  LibisofsSession session;
  failure = session.Start();
  if (!failure.empty()) return failure;
  // The streams in the image's tree read the files the snapshot records and report into the
  // context, so both outlive the image.
  SourceSnapshot snapshot;
  StreamContext streams(snapshot);
  // Made before the scan, so that a folder that cannot take the image fails the run at once,
  // and so that the scan knows the file to leave out.
  ImageFile file(destination);
  failure = file.Create();
  if (!failure.empty()) return failure;
  ImagePtr image;
  std::vector<IsoFile*> files;
  failure = BuildTree(options, file, image, streams, snapshot, files, progress);
  if (!failure.empty()) return failure;
  failure = WriteImage(options, std::move(image), file, streams, snapshot, files, progress, path);
  if (taken != nullptr) *taken = path;
  return failure;
}
