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

  Result Start() {
    if (iso_init_with_flag(1) < 0) return Result::Failure("cannot initialise libisofs");
    started_ = true;
    if (iso_set_local_charset(Text("UTF-8"), 0) <= 0) {
      return Result::Failure("libisofs cannot use UTF-8");
    }
    iso_set_msgs_severities(Text("WARNING"), Text("NEVER"), Text("hdiutil"));
    previous_abort_ = iso_set_abort_severity(Text(FailingSeverity));
    return Result::Success();
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
Result TakeMessages(ProgressSink& progress, bool writer_ended = false) {
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
  return Result::FromReason(failure);
}

Result LibisofsFailure(int result, ProgressSink& progress) {
  Result queued = TakeMessages(progress);
  return queued.ok() ? Result::Failure(iso_error_to_msg(result)) : queued;
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
Result CheckDestination(const MakeHybridOptions& options, std::string& destination) {
  destination = options.output;
  struct stat info;
  if (lstat(options.output.c_str(), &info) != 0) {
    if (errno == ENOENT) return Result::Success();
    return Result::Failure("cannot create " + options.output + ": " + std::strerror(errno));
  }
  if (!options.overwrite) {
    return Result::Failure(S_ISDIR(info.st_mode) ? options.output + " is a folder" : "file exists");
  }
  Result followed = Result::FromReason(FollowLinks(options.output, destination));
  if (!followed.ok()) return followed;
  if (stat(destination.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return Result::Failure(options.output + " is a folder");
  }
  return Result::Success();
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

Result MakeRelocationFolder(IsoImage* image) {
  IsoDir* root = iso_image_get_root(image);
  if (iso_dir_get_node(root, RelocationFolder, nullptr) == 1) {
    return Result::Success();  // the folder's own
  }
  IsoDir* folder = nullptr;
  int result = iso_image_add_new_dir(image, root, RelocationFolder, &folder);
  if (result < 0) return Result::Failure(iso_error_to_msg(result));
  iso_node_set_permissions(ISO_NODE(folder), iso_node_get_permissions(ISO_NODE(root)));
  iso_node_set_hidden(ISO_NODE(folder), LIBISO_HIDE_ON_JOLIET | LIBISO_HIDE_ON_1999);
  return Result::Success();
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
// The scan of the folder and the image's layout, all done by the first report, take about as
// long for each file as copying eleven KiB: for many small files, two fifths of the run.
constexpr uint64_t PerFileScanWork = 11 << 10;

// Tells the sink how far a run has come in its work: the scan, done when this starts, then
// the trees, the files' data, the check that the folder is still as scanned, and the flush
// and naming of the image. Weighed by the image's bytes alone, the trees and the many small
// files' data went faster than their share, the check and flush came after the last
// percent, and the scan of many files, before the first, counted for nothing.
class RunProgress {
 public:
  RunProgress(ProgressSink& sink, uint64_t image_size, const DataLayout& layout, size_t file_count)
      : sink_(sink),
        layout_(layout),
        data_start_(image_size - std::min(layout.size, image_size)),
        scanned_(file_count * PerFileScanWork),
        trees_(data_start_ * TreeByteWork),
        checks_(file_count * PerFileCheckWork),
        total_(scanned_ + trees_ + layout.work + checks_ +
               std::min(image_size, ImageFile::WriteBackLag)) {
    Report(0);
  }

  // The image's first bytes have been written, the trees and any data after them.
  void Written(uint64_t bytes) {
    if (bytes <= data_start_) return Report(bytes * TreeByteWork);
    Report(trees_ + layout_.WorkThrough(bytes - data_start_));
  }
  // This program has done work of the data's (see DataLayout::work).
  void DataCopied(uint64_t work) { Report(trees_ + work); }
  void FilesChecked(size_t count) { Report(trees_ + layout_.work + count * PerFileCheckWork); }
  void Finished() { Report(0, true); }

 private:
  // Only what grows reaches the sink, and only the end reaches the total.
  void Report(uint64_t done_after_scan, bool finished = false) {
    uint64_t done = finished ? total_ : std::min(scanned_ + done_after_scan, total_ - 1);
    if (done <= reported_) return;
    reported_ = done;
    sink_.Advanced(done, total_);
  }

  ProgressSink& sink_;
  const DataLayout& layout_;
  uint64_t data_start_;
  uint64_t scanned_;
  uint64_t trees_;
  uint64_t checks_;
  uint64_t total_;
  uint64_t reported_ = 0;
};

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

// One run of MakeHybridImage, its steps in order: the tree of the folder, then the image, its
// trees written by libisofs and its data put in place by this program or delivered by
// libisofs, then the check that the folder is still as scanned, and the image in place.
class HybridImageRun {
 public:
  // destination: where the image goes, any links followed (see CheckDestination).
  HybridImageRun(const MakeHybridOptions& options, std::string destination, ProgressSink& progress,
                 DataPath requested)
      : options_(options), progress_(progress), file_(std::move(destination)) {
    taken_.path = requested;
  }
  HybridImageRun(const HybridImageRun&) = delete;
  HybridImageRun& operator=(const HybridImageRun&) = delete;

  Result Run();
  const DataPathTaken& taken() const { return taken_; }

 private:
  Result BuildTree();
  Result WriteImage();
  Result StartImageStream();
  Result StartDataCopy();
  Result CopyStream(uint64_t end);
  void PlaceData();
  Result Finish();
  // The data goes through the image stream, for the reason given if placing it was asked for.
  void StreamInstead(const Result& why);

  const MakeHybridOptions& options_;
  ProgressSink& progress_;
  DataPathTaken taken_;
  // Ended last, once every libisofs object is gone.
  LibisofsSession session_;
  // The streams in the image's tree read the files the snapshot records and report into the
  // context, so both outlive the image.
  SourceSnapshot snapshot_;
  StreamContext streams_{snapshot_};
  ImageFile file_;
  ImagePtr image_;
  std::vector<IsoFile*> files_;  // the tree's files, in the snapshot's order
  DataLayout layout_;
  WriteOptionsPtr write_options_;
  StreamPtr stream_{nullptr, StreamDeleter{&streams_.hand_off()}};
  std::optional<RunProgress> run_progress_;
  std::unique_ptr<DataCopy> copy_;  // ended first, before what it copies from and into
  uint64_t image_size_ = 0;
  uint64_t data_start_ = 0;
  uint64_t written_ = 0;  // of the image, from its start
};

Result HybridImageRun::Run() {
  Result result = session_.Start();
  if (!result.ok()) return result;
  // Made before the scan, so that a folder that cannot take the image fails the run at once,
  // and so that the scan knows the file to leave out.
  result = Result::FromReason(file_.Create());
  if (!result.ok()) return result;
  result = BuildTree();
  if (!result.ok()) return result;
  return WriteImage();
}

Result HybridImageRun::BuildTree() {
  IsoImage* created = nullptr;
  int result = iso_image_new(options_.volume_name.c_str(), &created);
  if (result < 0) return Result::Failure(iso_error_to_msg(result));
  image_.reset(created);
  size_t deepest = 0;
  FolderScan scan{created,
                  ExcludedFiles(file_),
                  FindReplacedImage(options_, file_),
                  &streams_,
                  &snapshot_,
                  &files_,
                  getuid(),
                  !options_.keep_symlinks,
                  [this](const std::string& text) { progress_.Warned(text); },
                  &deepest};
  Result scanned = Result::FromReason(AddFolderContents(scan, AbsolutePath(options_.source)));
  if (!scanned.ok()) return scanned;
  if (deepest > DeepestUnmoved) {
    Result moved = MakeRelocationFolder(created);
    if (!moved.ok()) return moved;
  }
  return TakeMessages(progress_);
}

Result HybridImageRun::WriteImage() {
  Result result = StartImageStream();
  if (!result.ok()) return result;
  // Before the file gets its size and before any byte is written, so that a folder without
  // room for the image refuses it at once, and not after writing what fits.
  result = Result::FromReason(file_.CheckRoom(image_size_));
  if (!result.ok()) return result;
  Result placing = Result::Success();
  if (taken_.path == DataPath::Placed) placing = StartDataCopy();
  result = CopyStream(copy_ ? data_start_ : image_size_);
  if (!result.ok()) return result;
  if (copy_) placing = streams_.hand_off().Agree(stream_.get(), written_ == data_start_);
  if (copy_ && placing.ok()) {
    PlaceData();
  } else if (written_ < image_size_) {
    // Should libisofs ever lay the image out otherwise, it delivers the data itself.
    StreamInstead(placing);
    copy_.reset();
    streams_.hand_off().Decide(false);
    result = CopyStream(image_size_);
    if (!result.ok()) return result;
  }
  stream_.reset();
  image_.reset();
  return Finish();
}

// Lays the image out and starts libisofs's writer thread on it.
Result HybridImageRun::StartImageStream() {
  write_options_ = WriteOptions(options_, image_.get());
  if (!write_options_) return Result::Failure("cannot set up the image options");
  // libisofs writes the files' data last, one file after the other in its order. Expected
  // before its writer thread starts, which may reach the data at once.
  layout_ = LayOutData(snapshot_);
  auto first_data = std::ranges::find_if(
      layout_.files, [](const DataLayout::Entry& entry) { return entry.file->state.size > 0; });
  bool ordered = OrderData(files_, layout_);
  if (taken_.path == DataPath::Placed && first_data != layout_.files.end() && ordered) {
    streams_.hand_off().Expect(*first_data->file);
  } else {
    StreamInstead(Result::Failure(ordered ? "no file holds data"
                                          : "the data cannot be ordered [data order]"));
  }
  burn_source* created = nullptr;
  int result = CreateImageStream(image_.get(), write_options_.get(), &created);
  if (result < 0) return LibisofsFailure(result, progress_);
  stream_.reset(created);
  image_size_ = static_cast<uint64_t>(stream_->get_size(stream_.get()));
  progress_.Started(image_size_);
  run_progress_.emplace(progress_, image_size_, layout_, snapshot_.files().size());
  data_start_ = image_size_ - std::min(layout_.size, image_size_);
  return Result::Success();
}

// Starts copying the files' data into its place, unless the image file cannot be made long
// enough.
Result HybridImageRun::StartDataCopy() {
  if (layout_.size > image_size_) return Result::Failure("the data outgrows the image [data last]");
  // At its full size from the start: the last file's data may end before the image does.
  Result resized = Result::FromReason(file_.Resize(image_size_));
  if (!resized.ok()) return resized;
  copy_ = std::make_unique<DataCopy>(layout_, data_start_, file_, streams_);
  copy_->Start();
  return Result::Success();
}

// Copies the image stream into the image file up to byte end. Fails only when writing fails:
// when the stream ends or pauses, however early, it stops there, and the caller compares the
// bytes written. A read never asks past the size the stream announced ([stream end] in
// libisofs_api.h).
Result HybridImageRun::CopyStream(uint64_t end) {
  std::vector<unsigned char> buffer(CopyChunkSize);
  while (written_ < end) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - written_));
    int count = static_cast<int>(streams_.hand_off().AwaitChunk(stream_.get(), want));
    if (count > 0) count = stream_->read_xt(stream_.get(), buffer.data(), count);
    if (count <= 0) return Result::Success();
    Result wrote = Result::FromReason(file_.Write(buffer.data(), static_cast<size_t>(count)));
    if (!wrote.ok()) return wrote;
    written_ += static_cast<uint64_t>(count);
    file_.WriteBack(written_);
    run_progress_->Written(written_);
  }
  return Result::Success();
}

// The image is agreed on: the streams deliver nothing, and the data copy finishes the image.
void HybridImageRun::PlaceData() {
  streams_.hand_off().Decide(true);
  // Ends the writer thread, which has nothing more to give.
  stream_.reset();
  auto copied = [this](uint64_t work, uint64_t piece_end) {
    file_.WriteBack(data_start_ + piece_end);
    run_progress_->DataCopied(work);
  };
  // The copied bytes leave out the zeros that end each file's last block.
  if (copy_->Finish(copied)) written_ = image_size_;
}

Result HybridImageRun::Finish() {
  std::string changed =
      snapshot_.FindChange([this](size_t checked) { run_progress_->FilesChecked(checked); });
  // Most specific first: a stream names the file and what happened to it, while libisofs's
  // message for it speaks of the zeros it would write instead.
  std::string failure = streams_.FailureReason();
  if (failure.empty()) failure = changed;
  if (!failure.empty()) return Result::Failure(failure);
  Result messages = TakeMessages(progress_, taken_.path == DataPath::Placed);
  if (!messages.ok()) return messages;
  if (written_ != image_size_) {
    return Result::Failure("the image ended after " + std::to_string(written_) + " of " +
                           std::to_string(image_size_) + " bytes");
  }
  Result committed = Result::FromReason(file_.Commit(image_size_, options_.overwrite));
  if (committed.ok()) run_progress_->Finished();
  return committed;
}

void HybridImageRun::StreamInstead(const Result& why) {
  if (taken_.path == DataPath::Placed) taken_.why_streamed = why.failure();
  taken_.path = DataPath::Streamed;
}

}  // namespace

Result MakeHybridImage(const MakeHybridOptions& options, ProgressSink& progress, DataPath requested,
                       DataPathTaken* taken) {
  if (taken != nullptr) *taken = {requested, {}};
  std::string destination;
  Result checked = CheckDestination(options, destination);
  if (!checked.ok()) return checked;
  HybridImageRun run(options, std::move(destination), progress, requested);
  Result result = run.Run();
  if (taken != nullptr) *taken = run.taken();
  return result;
}
