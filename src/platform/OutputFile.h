// The output file of one request, written so that no other local user can
// steer it and no reader sees it half written.

#ifndef TOLVANE_SRC_PLATFORM_OUTPUTFILE_H_
#define TOLVANE_SRC_PLATFORM_OUTPUTFILE_H_

#include <string>

namespace nq_tolvane {

// A regular file (or a name that does not exist yet) is assembled in an
// unnamed file of its directory and put in its place whole by Commit(): a
// request that fails leaves the earlier file as it was. A new file gets mode
// 0600; an existing one of the caller keeps its mode. Any other kind of file
// (a FIFO, a terminal, /dev/stdout) is written directly.
//
// Like the kernel's protected_symlinks, protected_fifos and protected_regular
// rules, whether or not the kernel enforces them, Open() refuses a path that
// follows a link, or names a FIFO, device or regular file, that lies in a
// sticky world-writable directory (such as /var/tmp) and belongs neither to
// the caller nor to the owner of that directory.
// Not copyable: it owns a descriptor and, until Commit(), a file.
class OutputFile final {
 public:
  // Checks `path` and opens what the commands write to. On failure returns
  // false with `why` saying why; `refused` is then true when the path was
  // refused by the rules above.
  bool Open(const std::string& path, std::string* why, bool* refused);

  // The file name by which a shell command appends to the output:
  // /proc/self/fd/N. The descriptor is close-on-exec: pass Descriptor() to
  // the commands that write through it.
  const std::string& Target() const { return target_; }
  int Descriptor() const { return fd_; }
  // True for a regular file (or a new one), which Commit() puts in place.
  bool Regular() const { return dirFd_ >= 0; }
  // The mode the committed file gets, in place of the one Open() chose.
  void SetMode(unsigned mode) { mode_ = mode; }

  // Puts the assembled file in place of the named one, durably: the file is
  // synced before it replaces the earlier one and the directory after, so
  // that after a power cut the name holds either file whole. On failure
  // returns false with `why` set; the earlier file is then as it was, unless
  // only the sync of the directory failed.
  bool Commit(std::string* why);

  OutputFile() = default;
  // Discards a file not committed. An output named by a descriptor of the
  // caller (/dev/stdout, /proc/self/fd/N) that is a regular file has that
  // descriptor's offset moved to its end.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

 private:
  int fd_ = -1;         // what the commands write to
  int dirFd_ = -1;      // the output's directory, for a regular file only
  std::string name_;    // the output's name in that directory
  std::string temp_;    // the named stand-in where unnamed files are missing
  unsigned mode_ = 0;   // the mode the file gets when committed
  std::string target_;  // /proc/self/fd/<fd_>
  int callerFd_ = -1;   // the caller's descriptor the output names, if any
};

// Opens the regular file `path` to read it, refusing what OutputFile::Open()
// refuses. On failure returns -1 with `why` set and `*missing` true when
// nothing is there.
int OpenToRead(const std::string& path, std::string* why, bool* missing);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_PLATFORM_OUTPUTFILE_H_
